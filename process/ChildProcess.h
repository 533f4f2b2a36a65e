#pragma once
// CVxChildProcess: the owner of a started child, the process handle of this
// system. It can set the child's priority, wait for it and read its exit code.
// Closing the handle (destruction) does not end the child; a child that has
// already ended is reaped then, a running one runs on.
//
// One owner at a time; not for concurrent use.
#include <sys/types.h>

#include <cstdint>

namespace vxprocess {

// Windows priority classes and the nice values they map to.
inline constexpr std::uint32_t IDLE_PRIORITY_CLASS = 0x40;
inline constexpr std::uint32_t BELOW_NORMAL_PRIORITY_CLASS = 0x4000;
inline constexpr std::uint32_t NORMAL_PRIORITY_CLASS = 0x20;
inline constexpr std::uint32_t ABOVE_NORMAL_PRIORITY_CLASS = 0x8000;
inline constexpr std::uint32_t HIGH_PRIORITY_CLASS = 0x80;
inline constexpr std::uint32_t REALTIME_PRIORITY_CLASS = 0x100;

// The nice value of a priority class: idle 19, below normal 10, normal 0, above
// normal -5, high -10, real time -20. False for anything else.
bool niceOfPriorityClass(std::uint32_t priorityClass, int& nice);

class CVxChildProcess {
 public:
  CVxChildProcess() = default;
  // detached: a process started for nobody to wait for, not a child of ours.
  explicit CVxChildProcess(pid_t pid, bool detached = false) : pid_(pid), detached_(detached) {}
  ~CVxChildProcess();
  CVxChildProcess(CVxChildProcess&& other) noexcept;
  CVxChildProcess& operator=(CVxChildProcess&& other) noexcept;
  CVxChildProcess(const CVxChildProcess&) = delete;
  CVxChildProcess& operator=(const CVxChildProcess&) = delete;

  explicit operator bool() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // Applies a priority class. 0 or a Windows error code; 87 for a class that is
  // not one of those above.
  std::uint32_t setPriorityClass(std::uint32_t priorityClass);

  // Waits without a time-out until the child ends. 0 or a Windows error code;
  // 50 for a detached process.
  std::uint32_t wait();
  // The exit status once ended (128 + signal number for a child ended by a
  // signal); 259 (STILL_ACTIVE) while it runs. 0 or a Windows error code.
  std::uint32_t exitCode(std::uint32_t& code);

 private:
  void close();

  pid_t pid_ = -1;
  bool detached_ = false;
  bool reaped_ = false;
  std::uint32_t exitCode_ = 0;
};

}  // namespace vxprocess
