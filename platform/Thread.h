#pragma once
// Thread: an OS thread with a Win32-style life. start() runs a body; the owner can
// wait for the end with a time-out (waitFor) and then either reap the thread
// (join, quick once the body has returned) or let it run on detached. Threads are
// never killed.
//
// Thread-safety: one owner drives start/waitFor/join/detach; hasEnded() and id()
// may be read from any thread.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace platform {

class Event;

class Thread {
 public:
  Thread();
  // Reaps a thread that has ended; a thread that still runs is detached.
  ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // 0 on success, else the system error number; a thread is never half started.
  std::uint32_t start(std::function<void()> body);

  // True when the body returned within the time-out.
  bool waitFor(std::chrono::milliseconds timeout);
  bool hasEnded() const;
  bool isCurrentThread() const;
  // Reaps a thread whose body has returned (or waits for it to return).
  void join();
  void detach();
  std::uint32_t id() const { return id_; }

 private:
  std::thread thread_;
  std::shared_ptr<Event> ended_;
  std::uint32_t id_ = 0;
};

// The calling thread's system id (the TID of log lines).
std::uint32_t currentThreadId();

void sleepFor(std::chrono::milliseconds duration);

}  // namespace platform
