#include "kernel/VxNASharedEventQueue.h"

#include <array>

VxNASharedEventQueue::VxNASharedEventQueue()
    : itemEvent_(platform::Event::ResetPolicy::Automatic),
      abortEvent_(platform::Event::ResetPolicy::Manual) {}

void VxNASharedEventQueue::push(std::shared_ptr<VxNAEventInfoBaseObj> item, bool sticky) {
  if (item == nullptr) return;
  std::lock_guard guard(lock_);
  if (sticky) {
    sticky_ = std::move(item);
    abortEvent_.set();
  } else {
    items_.push_back(std::move(item));
    itemEvent_.set();
  }
}

std::shared_ptr<VxNAEventInfoBaseObj> VxNASharedEventQueue::tryPop(std::uint64_t* generation) {
  std::lock_guard guard(lock_);
  if (generation != nullptr) *generation = generation_.load(std::memory_order_relaxed);
  if (sticky_ != nullptr) return sticky_;
  if (items_.empty()) return nullptr;
  auto item = std::move(items_.front());
  items_.pop_front();
  // Signals coalesce on an auto-reset event: items pushed while no consumer was
  // waiting leave one signal behind. A consumer that leaves items behind passes
  // the wake-up on so that no waiter sleeps while work is queued.
  if (!items_.empty()) itemEvent_.set();
  return item;
}

std::shared_ptr<VxNAEventInfoBaseObj> VxNASharedEventQueue::waitPop(std::uint64_t* generation) {
  if (auto item = tryPop(generation)) return item;
  const std::array<platform::Event*, 2> handles{&itemEvent_.get(), &abortEvent_.get()};
  platform::Event::waitAny(handles);
  return tryPop(generation);
}

void VxNASharedEventQueue::clear() {
  std::lock_guard guard(lock_);
  items_.clear();
  sticky_.reset();
  abortEvent_.reset();
  generation_.fetch_add(1, std::memory_order_release);
}

void VxNASharedEventQueue::dropPending() {
  std::lock_guard guard(lock_);
  items_.clear();
  generation_.fetch_add(1, std::memory_order_release);
}

std::uint64_t VxNASharedEventQueue::generation() { return generation_.load(std::memory_order_acquire); }
