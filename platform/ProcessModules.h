#pragma once
// Process-module enumeration: the executable files mapped into the running
// processes, as the process-status functions list them on Windows.
//
// Processes are the numeric entries of /proc, visited in ascending pid order. A
// process whose map cannot be read (no permission) is counted and skipped; one
// that is gone by then is skipped. Its modules are the file-backed executable
// mappings of /proc/<pid>/maps (the program and its shared objects) in ascending
// address order. Pseudo mappings ([vdso], [vsyscall]) and anonymous memory are not
// modules.
//
// A module is offered with the name reports show and the path its content is read
// from. For a file the process maps under the same path in our view (same mount
// namespace, same device and inode as the map shows) both are that path, and each
// such path is offered once per walk, compared byte for byte. Every other module
// is read through the kernel's handle to what the process maps and named after
// its kind and one process that holds it:
//
//   deleted    /tmp/x/evil (deleted) [pid 4242]       /proc/4242/map_files/<range>
//   memfd      memfd:payload [pid 4242]               /proc/4242/map_files/<range>
//   replaced   /usr/bin/tool (replaced) [pid 4242]    /proc/4242/map_files/<range>
//   container  /usr/lib/libfoo.so [pid 4242, container root /proc/4242/root]
//                                                     /proc/4242/root/usr/lib/libfoo.so
//
// A file replaced by a rename leaves the process running an inode without a name,
// which the map shows as deleted; "replaced" is a path that names another inode
// than the mapped one (a hard link replaced, a mount over it).
// (<range> is the mapping's "start-end" as the map shows it; where a kernel has no
// map_files, the program itself is read through /proc/<pid>/exe.) These are
// offered once per mapped inode (device and inode), whichever process comes first.
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
  // Processes whose map could not be read (not those that ended meanwhile).
  std::uint32_t unreadableProcesses = 0;
};

enum class ProcessModuleKind { File, Deleted, Memory, Replaced, InProcessRoot };

struct ProcessModule {
  ProcessModuleKind kind = ProcessModuleKind::File;
  std::string name;         // as reports show it
  std::string contentPath;  // where its content is read
  int pid = 0;              // the process it was found in
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};

// Returns true from visit to end the walk at once.
using ProcessModuleVisitor = std::function<bool(const ProcessModule& module)>;

ProcessModuleWalk forEachProcessModule(const ProcessModuleVisitor& visit);

// One executable, file-backed mapping of a process map.
struct ExecutableMapping {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint32_t deviceMajor = 0;
  std::uint32_t deviceMinor = 0;
  std::uint64_t inode = 0;
  std::string path;  // as the map shows it, " (deleted)" included
};

// The executable mappings of one /proc/<pid>/maps text, in ascending address
// order. Lines that are not file-backed executable mappings are left out.
std::vector<ExecutableMapping> parseExecutableMappings(std::string_view mapsText);

// The processes, ascending, that map the module a walk offered as `name`: for a
// module named with its holder, every process mapping the same inode; for an
// ordinary file, every process that maps that path in our view. Empty when none
// does any more.
std::vector<int> processesHoldingModule(const std::string& name);

// The processes whose map cannot be read now (those that end meanwhile are not
// counted): the ones a walk cannot see into.
std::uint32_t countProcessesWithUnreadableMaps();

// What the process `pid` maps as `mapping`, named and reached as described above.
// `fileInPlace`: the mapping's path, in the process's own view, still names the
// mapped inode; `sameMountNamespace`: that view is ours.
ProcessModule describeMapping(int pid, const ExecutableMapping& mapping, bool fileInPlace, bool sameMountNamespace);

}  // namespace platform
