#pragma once
// Process-module enumeration: the executable files mapped into the running
// processes, as the process-status functions list them on Windows.
//
// Processes are the numeric entries of /proc, visited in ascending pid order. A
// process whose map cannot be read (no permission, already gone) is skipped, as
// a process that cannot be opened is skipped on Windows. Its modules are the
// file-backed executable mappings of /proc/<pid>/maps (the program and its shared
// objects) in ascending address order. Pseudo mappings ([vdso], [vsyscall]),
// anonymous memory and files that have been deleted since they were mapped are
// not modules: none of them can be opened by the path the map shows. Each path is
// offered once per walk, compared byte for byte.
//
// Paths are the bytes the kernel reports; callers convert them as they need.
//
// Stateless; safe from any thread. The visitor runs on the calling thread.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct ProcessModuleWalk {
  // The visitor asked to stop.
  bool stopped = false;
  // 0, or the system error number that prevented listing the processes.
  std::uint32_t systemError = 0;
};

// Returns true from visit to end the walk at once.
using ProcessModuleVisitor = std::function<bool(const std::string& path)>;

ProcessModuleWalk forEachProcessModule(const ProcessModuleVisitor& visit);

// One executable, file-backed mapping of a process map.
struct ExecutableMapping {
  std::uint64_t start = 0;
  std::uint64_t inode = 0;
  std::string path;  // as the map shows it, " (deleted)" included
};

// The executable mappings of one /proc/<pid>/maps text, in ascending address
// order. Lines that are not file-backed executable mappings are left out.
std::vector<ExecutableMapping> parseExecutableMappings(std::string_view mapsText);

}  // namespace platform
