// How waiting works
//
// Each Event keeps, under its own lock, its signalled flag and a FIFO list of
// waiters. A Waiter belongs to one blocked thread and can be fired exactly once;
// firing records which event released it and wakes the thread through the
// waiter's own condition variable.
//
// waitAny() takes the locks of all its events (in address order, so that two
// waits on overlapping sets never deadlock), and if one is already signalled it
// consumes the lowest-indexed one and returns. Otherwise it enqueues one Waiter
// on every event, drops the locks and sleeps on the waiter. set() walks its list
// under its lock: a manual-reset event fires every waiter and stays signalled; an
// auto-reset event fires the first waiter that is still unfired and stays
// unsignalled, because that waiter consumed the signal. A waiter that another
// event fired first refuses, so the signal passes on to the next waiter (or stays
// on the event). After waking, the thread retakes all locks and removes its
// Waiter from every list. A time-out does the same removal, but first marks the
// waiter fired so that no later set() can hand it a signal it would lose.
//
// Lock order: event locks (address order), then a waiter's lock. set() holds one
// event lock while firing; nothing holds a waiter's lock while taking an event's.
#include "platform/Event.h"

#include <algorithm>
#include <condition_variable>
#include <vector>

namespace platform {

class Event::Waiter {
 public:
  // True when this call fired the waiter; false when it had already fired.
  bool fire(Event* by) {
    std::lock_guard guard(lock_);
    if (firedBy_ != nullptr || abandoned_) return false;
    firedBy_ = by;
    wake_.notify_one();
    return true;
  }

  Event* waitUntil(std::optional<std::chrono::steady_clock::time_point> deadline) {
    std::unique_lock guard(lock_);
    const auto fired = [this] { return firedBy_ != nullptr; };
    if (deadline) {
      wake_.wait_until(guard, *deadline, fired);
    } else {
      wake_.wait(guard, fired);
    }
    return firedBy_;
  }

  // Called with every event lock held, so no set() can race with it.
  Event* abandon() {
    std::lock_guard guard(lock_);
    if (firedBy_ == nullptr) abandoned_ = true;
    return firedBy_;
  }

 private:
  std::mutex lock_;
  std::condition_variable wake_;
  Event* firedBy_ = nullptr;
  bool abandoned_ = false;
};

namespace {

// Locks a set of events in address order and releases them on destruction.
class MultiLock {
 public:
  explicit MultiLock(const std::vector<std::mutex*>& locks) : locks_(locks) {
    for (std::mutex* m : locks_) m->lock();
  }
  ~MultiLock() {
    for (auto it = locks_.rbegin(); it != locks_.rend(); ++it) (*it)->unlock();
  }
  MultiLock(const MultiLock&) = delete;
  MultiLock& operator=(const MultiLock&) = delete;

 private:
  const std::vector<std::mutex*>& locks_;
};

}  // namespace

Event::Event(ResetPolicy policy, InitialState initial)
    : signaled_(initial == InitialState::Signaled), policy_(policy) {}

Event::~Event() = default;

void Event::set() {
  std::lock_guard guard(lock_);
  if (policy_ == ResetPolicy::Manual) {
    signaled_ = true;
    for (Waiter* waiter : waiters_) waiter->fire(this);
    return;
  }
  for (auto it = waiters_.begin(); it != waiters_.end(); ++it) {
    if ((*it)->fire(this)) {
      waiters_.erase(it);
      return;
    }
  }
  signaled_ = true;
}

void Event::reset() {
  std::lock_guard guard(lock_);
  signaled_ = false;
}

bool Event::consumeLocked() {
  if (!signaled_) return false;
  if (policy_ == ResetPolicy::Automatic) signaled_ = false;
  return true;
}

bool Event::isSignaled() {
  std::lock_guard guard(lock_);
  return consumeLocked();
}

void Event::wait() {
  Event* self = this;
  waitAny(std::span<Event* const>(&self, 1));
}

bool Event::waitFor(std::chrono::milliseconds timeout) {
  Event* self = this;
  return waitAnyFor(std::span<Event* const>(&self, 1), timeout).has_value();
}

std::size_t Event::waitAny(std::span<Event* const> events) {
  return *waitAnyUntil(events, std::nullopt);
}

std::optional<std::size_t> Event::waitAnyFor(std::span<Event* const> events,
                                             std::chrono::milliseconds timeout) {
  return waitAnyUntil(events, std::chrono::steady_clock::now() + timeout);
}

std::optional<std::size_t> Event::waitAnyUntil(
    std::span<Event* const> events,
    std::optional<std::chrono::steady_clock::time_point> deadline) {
  std::vector<std::mutex*> locks;
  locks.reserve(events.size());
  for (Event* event : events) locks.push_back(&event->lock_);
  std::sort(locks.begin(), locks.end());
  locks.erase(std::unique(locks.begin(), locks.end()), locks.end());

  const auto indexOf = [&events](const Event* event) {
    return static_cast<std::size_t>(std::find(events.begin(), events.end(), event) -
                                    events.begin());
  };

  Waiter waiter;
  {
    MultiLock all(locks);
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (events[i]->consumeLocked()) return i;
    }
    if (deadline && std::chrono::steady_clock::now() >= *deadline) return std::nullopt;
    for (Event* event : events) event->waiters_.push_back(&waiter);
  }

  Event* firedBy = waiter.waitUntil(deadline);

  MultiLock all(locks);
  if (firedBy == nullptr) firedBy = waiter.abandon();
  for (Event* event : events) event->waiters_.remove(&waiter);
  if (firedBy == nullptr) return std::nullopt;
  return indexOf(firedBy);
}

}  // namespace platform
