#include "process/ChildProcess.h"

#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <utility>

#include "platform/ErrorCodes.h"

namespace vxprocess {
namespace {

constexpr std::uint32_t kStillActive = 259;

std::uint32_t statusToExitCode(int status) {
  if (WIFEXITED(status)) return static_cast<std::uint32_t>(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
  return 0;
}

}  // namespace

bool niceOfPriorityClass(std::uint32_t priorityClass, int& nice) {
  switch (priorityClass) {
    case IDLE_PRIORITY_CLASS: nice = 19; return true;
    case BELOW_NORMAL_PRIORITY_CLASS: nice = 10; return true;
    case NORMAL_PRIORITY_CLASS: nice = 0; return true;
    case ABOVE_NORMAL_PRIORITY_CLASS: nice = -5; return true;
    case HIGH_PRIORITY_CLASS: nice = -10; return true;
    case REALTIME_PRIORITY_CLASS: nice = -20; return true;
    default: return false;
  }
}

CVxChildProcess::~CVxChildProcess() { close(); }

CVxChildProcess::CVxChildProcess(CVxChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      detached_(other.detached_),
      reaped_(other.reaped_),
      exitCode_(other.exitCode_) {}

CVxChildProcess& CVxChildProcess::operator=(CVxChildProcess&& other) noexcept {
  if (this != &other) {
    close();
    pid_ = std::exchange(other.pid_, -1);
    detached_ = other.detached_;
    reaped_ = other.reaped_;
    exitCode_ = other.exitCode_;
  }
  return *this;
}

void CVxChildProcess::close() {
  if (pid_ > 0 && !reaped_ && !detached_) {
    int status = 0;
    waitpid(pid_, &status, WNOHANG);
  }
  pid_ = -1;
}

std::uint32_t CVxChildProcess::setPriorityClass(std::uint32_t priorityClass) {
  int nice = 0;
  if (!niceOfPriorityClass(priorityClass, nice)) return platform::kErrorInvalidParameter;
  if (pid_ <= 0 || reaped_) return platform::kErrorInvalidParameter;
  if (setpriority(PRIO_PROCESS, static_cast<id_t>(pid_), nice) != 0) {
    return platform::lastWindowsError();
  }
  return 0;
}

std::uint32_t CVxChildProcess::wait() {
  if (pid_ <= 0) return platform::kErrorInvalidParameter;
  if (detached_) return platform::kErrorNotSupported;
  while (!reaped_) {
    int status = 0;
    const pid_t ended = waitpid(pid_, &status, 0);
    if (ended == pid_) {
      reaped_ = true;
      exitCode_ = statusToExitCode(status);
    } else if (errno != EINTR) {
      return platform::lastWindowsError();
    }
  }
  return 0;
}

std::uint32_t CVxChildProcess::exitCode(std::uint32_t& code) {
  if (pid_ <= 0) return platform::kErrorInvalidParameter;
  if (detached_) return platform::kErrorNotSupported;
  if (!reaped_) {
    int status = 0;
    const pid_t ended = waitpid(pid_, &status, WNOHANG);
    if (ended < 0) return platform::lastWindowsError();
    if (ended == 0) {
      code = kStillActive;
      return 0;
    }
    reaped_ = true;
    exitCode_ = statusToExitCode(status);
  }
  code = exitCode_;
  return 0;
}

}  // namespace vxprocess
