#include "process/Capability.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "foundation/VxErrorCodes.h"
#include "platform/ErrorCodes.h"

namespace vxprocess {

bool lookupCapability(const std::wstring& name, int& capability) {
  if (name == L"CAP_SETUID") {
    capability = CAP_SETUID;
  } else if (name == L"CAP_SETGID") {
    capability = CAP_SETGID;
  } else {
    return false;
  }
  return true;
}

std::uint32_t enableCapability(int capability) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return platform::lastWindowsError();
  const unsigned word = static_cast<unsigned>(capability) / 32;
  const std::uint32_t bit = 1u << (static_cast<unsigned>(capability) % 32);
  if ((data[word].permitted & bit) == 0) return ERROR_PRIVILEGE_NOT_HELD;
  if ((data[word].effective & bit) != 0) return 0;
  data[word].effective |= bit;
  if (syscall(SYS_capset, &header, data) != 0) return platform::lastWindowsError();
  return 0;
}

}  // namespace vxprocess
