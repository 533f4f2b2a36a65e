#pragma once
// Capabilities, the privileges of this system: a process starts a child as
// another user only with CAP_SETUID and CAP_SETGID in its effective set.
// Enabling one raises it from the permitted set into the effective set, as
// enabling a privilege in a Windows token does.
//
// Affects the whole process; safe from any thread.
#include <cstdint>
#include <string>

namespace vxprocess {

// The capability number of a name such as "CAP_SETUID". False for an unknown name.
bool lookupCapability(const std::wstring& name, int& capability);

// 0, 1314 when the capability is not permitted, or the Windows code of the failure.
std::uint32_t enableCapability(int capability);

}  // namespace vxprocess
