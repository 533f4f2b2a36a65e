#include "process/OsDetect.h"

#include <sys/utsname.h>

#include <cstring>

std::uint32_t COsDetect::GetOSType() {
  utsname name{};
  type_ = uname(&name) == 0 && std::strcmp(name.sysname, "Linux") == 0 ? VX_OS_NT_6 : VX_OS_UNKNOWN;
  return type_;
}
