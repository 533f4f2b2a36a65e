#pragma once
// InterruptWatcher: hears Ctrl-C (SIGINT) on a thread of its own and calls a
// plain function there, where it may lock, print and call the component, none of
// which a signal handler may do.
//
// How: SIGINT is blocked, so the kernel never runs a handler for it; a signalfd
// turns each one into something to read, and the watcher thread waits in poll()
// for it or for the eventfd that the destructor writes to stop the thread.
// blockInterrupts() must run before the process starts any other thread (the
// component's threads included): threads inherit the mask of the thread that
// creates them, and a SIGINT goes to any thread that does not block it.
//
// SIGINT stays blocked after the watcher stops: the host is then cleaning up just
// before it exits, and a late Ctrl-C must not cut that short. One that comes then
// stays pending and is dropped with the process.
//
// Thread-safety: construct and destroy on one thread; the function is called on
// the watcher thread, one call at a time.
#include <functional>
#include <string>
#include <thread>

#include "platform/UniqueFileDescriptor.h"

class InterruptWatcher {
 public:
  // Blocks SIGINT for the calling thread and the threads it starts from now on.
  static void blockInterrupts();

  // Starts watching; onInterrupt gets the number of the Ctrl-C (1, 2, ...).
  // Check failure() afterwards: a watcher that could not start calls nothing and
  // unblocks SIGINT on the calling thread, so that Ctrl-C still ends the process.
  explicit InterruptWatcher(std::function<void(unsigned count)> onInterrupt);
  ~InterruptWatcher();
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  // Empty, or why watching could not start.
  const std::string& failure() const { return failure_; }

 private:
  void run();

  const std::function<void(unsigned)> onInterrupt_;
  platform::UniqueFileDescriptor signals_;
  platform::UniqueFileDescriptor stop_;
  std::string failure_;
  std::thread thread_;
};
