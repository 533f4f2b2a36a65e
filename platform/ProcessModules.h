#pragma once
// Process-module enumeration: the executable files mapped into the running
// processes, as the process-status functions list them on Windows.
//
// Processes are the numeric entries of /proc, visited in ascending pid order. A
// process that is gone by the time it is looked at is skipped. One whose maps
// give no consistent, bounded view (see platform/ProcessMaps.h: no permission, no
// two reads that agree, more than the byte limit) is listed with the reason and
// none of its modules is offered, rather than some of them. Its modules are the
// file-backed executable mappings of /proc/<pid>/maps (the program and its shared
// objects) in ascending address order. Pseudo mappings ([vdso], [vsyscall]) and
// anonymous memory are not modules.
//
// A module is offered with the name reports show and the path its content is read
// from. For a file the process maps under the same path in our view (same mount
// namespace, same device and inode as the map shows, reached without following a
// symbolic link) both are that path, offered once per walk for each path, device
// and inode together: a path that names another file by the time a second
// process is looked at is offered again. Every other module is read through the
// kernel's handle to what the process maps and named after its kind, one process
// that holds it and the mapped inode, so that two files of one name are two
// modules:
//
//   deleted    /tmp/x/evil (deleted) [pid 4242, inode 5678]     /proc/4242/map_files/<range>
//   memfd      memfd:payload [pid 4242, inode 1234]             /proc/4242/map_files/<range>
//   replaced   /usr/bin/tool (replaced) [pid 4242, inode 99]    /proc/4242/map_files/<range>
//   container  /usr/lib/libfoo.so [pid 4242, container root /proc/4242/root]
//                                                               /proc/4242/root/usr/lib/libfoo.so
//
// A file replaced by a rename leaves the process running an inode without a name,
// which the map shows as deleted; "replaced" is a path that names another inode
// than the mapped one (a hard link replaced, a mount over it). (<range> is the
// mapping's "start-end" as the map shows it; where a kernel has no map_files, the
// program itself is read through /proc/<pid>/exe.) These are offered once per
// mapped inode (device and inode), whichever process comes first.
//
// Paths are the bytes of the file's real name (the map's "\012" escapes undone,
// see platform/ProcessMaps.h); callers convert them as they need.
//
// Stateless; safe from any thread. The visitor runs on the calling thread.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ProcessMaps.h"

namespace platform {

enum class UnreadableMapsReason {
  Permission,  // no permission to read the maps
  Unstable,    // no two consecutive reads agreed
  TooLarge,    // the maps exceed the byte limit
  Failed,      // another system error (systemError says which)
};

struct UnreadableProcess {
  int pid = 0;
  UnreadableMapsReason reason = UnreadableMapsReason::Failed;
  std::uint32_t systemError = 0;  // the errno, for Permission and Failed
  bool operator==(const UnreadableProcess&) const = default;
};

// A short English text of the reason, for reports and logs.
std::string_view describeUnreadableMapsReason(UnreadableMapsReason reason);

struct ProcessModuleWalk {
  // The visitor asked to stop.
  bool stopped = false;
  // 0, or the system error number that prevented listing the processes.
  std::uint32_t systemError = 0;
  // Processes whose map could not be read (not those that ended meanwhile).
  std::uint32_t unreadableProcesses = 0;
  // The same processes, ascending, each with the reason; the ones looked at
  // before the visitor stopped the walk.
  std::vector<UnreadableProcess> unreadable;
};

enum class ProcessModuleKind { File, Deleted, Memory, Replaced, InProcessRoot };

struct ProcessModule {
  ProcessModuleKind kind = ProcessModuleKind::File;
  std::string name;         // as reports show it
  std::string contentPath;  // where its content is read
  // The kernel's handle to the mapped inode, /proc/<pid>/map_files/<range> (or
  // /proc/<pid>/exe, see above), for every kind: the content to read when the
  // path no longer names the mapped file.
  std::string kernelHandle;
  int pid = 0;  // the process it was found in
  std::uint64_t device = 0;  // deviceMajor << 32 | deviceMinor
  std::uint32_t deviceMajor = 0;
  std::uint32_t deviceMinor = 0;
  std::uint64_t inode = 0;
};

// Returns true from visit to end the walk at once.
using ProcessModuleVisitor = std::function<bool(const ProcessModule& module)>;

ProcessModuleWalk forEachProcessModule(const ProcessModuleVisitor& visit, const MapsReadLimits& limits = {});

// The processes, ascending, that map the module a walk offered as `name`. For a
// module named with its holder, every process mapping the inode the holder maps
// under that name (the inode the name carries, where it carries one); for an
// ordinary file, every process that maps the file that path names now. Empty when
// none does any more.
std::vector<int> processesHoldingModule(const std::string& name);

// The processes, ascending, that map the inode `inode` of device major:minor.
std::vector<int> processesHoldingInode(std::uint32_t deviceMajor, std::uint32_t deviceMinor, std::uint64_t inode);

// The processes, ascending, whose maps give no view now (those that end meanwhile
// are not listed), each with the reason: the ones a walk cannot see into.
std::vector<UnreadableProcess> listProcessesWithUnreadableMaps(const MapsReadLimits& limits = {});

// How many processes listProcessesWithUnreadableMaps lists.
std::uint32_t countProcessesWithUnreadableMaps();

// What the process `pid` maps as `mapping`, named and reached as described above.
// `fileInPlace`: the mapping's path (its real name, the escapes undone), in the
// process's own view, still names the mapped inode; `sameMountNamespace`: that
// view is ours.
ProcessModule describeMapping(int pid, const ExecutableMapping& mapping, bool fileInPlace, bool sameMountNamespace);

}  // namespace platform
