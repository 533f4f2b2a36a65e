#pragma once
// InterruptWatcher: hears the signals that ask a command-line program to stop
// (SIGINT from Ctrl-C, SIGTERM from kill or a service manager, SIGHUP when the
// terminal goes away) on a thread of its own and calls a plain function there,
// where it may lock, print and call the component, none of which a signal handler
// may do.
//
// How: the signals are blocked, so the kernel never runs a handler for them; a
// signalfd turns each one into something to read, and the watcher thread waits in
// poll() for it or for the eventfd that the destructor writes to stop the thread.
// blockInterrupts() must run before the process starts any other thread (the
// component's threads included): threads inherit the mask of the thread that
// creates them, and a signal goes to any thread that does not block it.
//
// The signals stay blocked after the watcher stops: the host is then writing its
// report and cleaning up just before it exits, and a late signal must not cut
// that short. One that comes then stays pending and is dropped with the process.
//
// Thread-safety: construct and destroy on one thread; the function is called on
// the watcher thread, one call at a time.
#include <functional>
#include <string>
#include <thread>

#include "platform/UniqueFileDescriptor.h"

class InterruptWatcher {
 public:
  // Blocks the watched signals for the calling thread and the threads it starts
  // from now on.
  static void blockInterrupts();
  // The exit status of a program that stopped because of `signal`, as a shell
  // reports one killed by it: 130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP.
  static int exitStatusFor(int signal) { return 128 + signal; }

  // Starts watching; onInterrupt gets the signal and how many watched signals
  // have come so far (1, 2, ...). Check failure() afterwards: a watcher that could
  // not start calls nothing and unblocks the signals on the calling thread, so
  // that they still end the process.
  explicit InterruptWatcher(std::function<void(int signal, unsigned count)> onInterrupt);
  ~InterruptWatcher();
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  // Empty, or why watching could not start.
  const std::string& failure() const { return failure_; }

 private:
  void run();

  const std::function<void(int, unsigned)> onInterrupt_;
  platform::UniqueFileDescriptor signals_;
  platform::UniqueFileDescriptor stop_;
  std::string failure_;
  std::thread thread_;
};
