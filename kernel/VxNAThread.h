#pragma once
// CVxNAThread: base of every long-lived worker thread. The derived class supplies
// the thread body (ThreadProc) and a way to ask it to return (TerminateMyThread).
// Start runs the body on a new named thread; Stop asks it to return and waits at
// most 10 s. A thread that does not end in time runs on detached: threads are
// never killed.
//
// A detached body may outlive its owner's Stop, so Start takes an optional
// keep-alive reference that the thread holds until its body has returned; owners
// held by shared pointers pass one, so a late body never runs on a destroyed
// object.
//
// Thread-safety: Start and Stop may be called from any thread, also concurrently;
// a second Stop while one is waiting returns at once.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace platform {
class Thread;
}

class CVxNAThread {
 public:
  static constexpr std::chrono::milliseconds kStopWait{10000};

  virtual void ThreadProc() = 0;
  virtual void TerminateMyThread() = 0;
  virtual ~CVxNAThread();

  CVxNAThread(const CVxNAThread&) = delete;
  CVxNAThread& operator=(const CVxNAThread&) = delete;

  // 0 when started, or when a thread is already running; else the system error.
  std::uint32_t Start(const std::wstring& name, std::shared_ptr<void> keepAlive = nullptr);
  void Stop();
  // Reaps a thread that is ending on its own, without asking it to stop: waits
  // for it (kStopWait at most, then leaves it detached) so that Start runs a
  // fresh one.
  void Reap();

  bool hasThread() const;
  std::uint32_t threadId() const;

 protected:
  explicit CVxNAThread(bool initCom);

 private:
  static void ThreadEntry(CVxNAThread* self, const std::wstring& name, bool initCom);

  mutable std::mutex lock_;  // guards name_, thread_
  std::wstring name_;
  std::unique_ptr<platform::Thread> thread_;
  // Set by the running thread once its body has returned: from then on it only
  // winds down, so Start may reap it and run again.
  std::shared_ptr<std::atomic<bool>> bodyReturned_;
  const bool initCom_;
};
