#pragma once
// The kernel's handle to a mapping of this process, /proc/self's map_files entry
// named by the mapping's page-rounded address range, as the process walk makes it.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace vxtest {

inline std::string mapFilesHandleOf(const void* address, std::size_t size) {
  const long page = ::sysconf(_SC_PAGESIZE);
  const auto start = reinterpret_cast<std::uintptr_t>(address);
  const auto end = start + (size + page - 1) / page * page;
  char range[64];
  std::snprintf(range, sizeof range, "%lx-%lx", static_cast<unsigned long>(start), static_cast<unsigned long>(end));
  return "/proc/" + std::to_string(::getpid()) + "/map_files/" + range;
}

}  // namespace vxtest
