#pragma once
// Event: a waitable flag with the semantics of a Win32 event object.
//
// A manual-reset event stays signalled until reset() and releases every waiter.
// An auto-reset event releases exactly one waiter per set(); the waiter that is
// released consumes the signal, and when nobody waits the event stays signalled
// until the next waiter (or isSignaled()) consumes it.
//
// waitAny() waits on several events at once. When some of them are already
// signalled it returns the lowest such index, like WaitForMultipleObjects with
// bWaitAll = FALSE; otherwise it blocks (no polling) and returns the index of the
// event that released it. Only the event that is returned is consumed.
//
// Thread-safety: every member may be called from any thread at the same time. An
// event must outlive every wait on it.
#include <chrono>
#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <span>

namespace platform {

class Event {
 public:
  enum class ResetPolicy { Manual, Automatic };
  enum class InitialState { NotSignaled, Signaled };

  Event(ResetPolicy policy, InitialState initial);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set();
  void reset();

  // Zero-time-out test; consumes the signal of an auto-reset event.
  bool isSignaled();

  void wait();
  // True when the event was signalled within the time-out.
  bool waitFor(std::chrono::milliseconds timeout);

  // Returns the index of the event that ended the wait (see above).
  static std::size_t waitAny(std::span<Event* const> events);
  // As waitAny, or nothing when the time-out passes first.
  static std::optional<std::size_t> waitAnyFor(std::span<Event* const> events,
                                               std::chrono::milliseconds timeout);

 private:
  class Waiter;

  static std::optional<std::size_t> waitAnyUntil(
      std::span<Event* const> events,
      std::optional<std::chrono::steady_clock::time_point> deadline);
  // Requires lock_. Takes the signal when set; auto-reset events are consumed.
  bool consumeLocked();

  std::mutex lock_;
  bool signaled_;
  const ResetPolicy policy_;
  std::list<Waiter*> waiters_;
};

}  // namespace platform
