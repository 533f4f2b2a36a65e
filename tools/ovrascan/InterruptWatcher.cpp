#include "tools/ovrascan/InterruptWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <system_error>

#include <unistd.h>

namespace {

sigset_t interruptSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

void InterruptWatcher::blockInterrupts() {
  const sigset_t set = interruptSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

InterruptWatcher::InterruptWatcher(std::function<void(int, unsigned)> onInterrupt)
    : onInterrupt_(std::move(onInterrupt)) {
  blockInterrupts();
  const sigset_t set = interruptSet();
  signals_.reset(signalfd(-1, &set, SFD_CLOEXEC));
  stop_.reset(eventfd(0, EFD_CLOEXEC));
  if (!signals_.valid() || !stop_.valid()) {
    failure_ = std::string("cannot watch for Ctrl-C and termination signals: ") + std::strerror(errno);
  } else {
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error& error) {
      failure_ = std::string("cannot watch for Ctrl-C and termination signals: ") + error.what();
    }
  }
  // Unwatched, the signals must at least keep their default action on this thread.
  if (!failure_.empty()) pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

InterruptWatcher::~InterruptWatcher() {
  if (!thread_.joinable()) return;
  const std::uint64_t one = 1;
  // An eventfd write of 1 cannot block or fail short of a counter overflow.
  [[maybe_unused]] const ssize_t written = write(stop_.get(), &one, sizeof one);
  thread_.join();
}

void InterruptWatcher::run() {
  unsigned count = 0;
  for (;;) {
    pollfd waits[2] = {{signals_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
    if (poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (waits[1].revents != 0) return;
    if ((waits[0].revents & POLLIN) == 0) continue;
    signalfd_siginfo info{};
    if (read(signals_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
    onInterrupt_(static_cast<int>(info.ssi_signo), ++count);
  }
}
