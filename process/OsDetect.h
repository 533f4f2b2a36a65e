#pragma once
// COsDetect: which family of the operating system runs, as the code that picks
// the user-session technique expects it. A Linux system with a session manager
// (systemd-logind) serves the technique of code 64, which asks the session
// manager for the user's session; the shell technique is the fallback.
//
// Stateless apart from the last result; one owner at a time.
#include <cstdint>

inline constexpr std::uint32_t VX_OS_UNKNOWN = 0x80000000;
inline constexpr std::uint32_t VX_OS_NT_6 = 64;

class COsDetect {
 public:
  virtual ~COsDetect() = default;
  // 64 on a Linux kernel, 0x80000000 when the system cannot be identified.
  std::uint32_t GetOSType();
  std::uint32_t lastType() const { return type_; }

 private:
  std::uint32_t type_ = VX_OS_UNKNOWN;
};
