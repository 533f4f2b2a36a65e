#include "platform/ProcessModules.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <memory>
#include <set>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/BatchQueue.h"
#include "platform/Thread.h"
#include "platform/UniqueFileDescriptor.h"

namespace platform {

namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

bool parsePid(const char* name, pid_t& pid) {
  const std::string_view text(name);
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
  return ec == std::errc() && end == text.data() + text.size();
}

// The pids of /proc in ascending order, or the error of opening /proc.
std::uint32_t listProcesses(std::vector<pid_t>& pids) {
  std::unique_ptr<DIR, DirCloser> dir(opendir("/proc"));
  if (!dir) return static_cast<std::uint32_t>(errno);
  while (const dirent* entry = readdir(dir.get())) {
    pid_t pid = 0;
    if (parsePid(entry->d_name, pid)) pids.push_back(pid);
  }
  std::sort(pids.begin(), pids.end());
  return 0;
}

// The whole map at once, so that a process that vanishes half-way is skipped
// rather than offered in part. 0 or the errno of the failure.
UniqueFileDescriptor openMaps(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/maps";
  return UniqueFileDescriptor(open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

int readMaps(pid_t pid, std::string& text) {
  const UniqueFileDescriptor fd = openMaps(pid);
  if (fd.get() < 0) return errno;
  char buffer[16384];
  for (;;) {
    const ssize_t count = read(fd.get(), buffer, sizeof buffer);
    if (count == 0) return 0;
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    text.append(buffer, static_cast<std::size_t>(count));
  }
}

// Whether the maps of pid can be read, without reading them: the kernel checks
// access when the file is opened and again on the first read.
int probeMaps(pid_t pid) {
  const UniqueFileDescriptor fd = openMaps(pid);
  if (fd.get() < 0) return errno;
  char first = 0;
  while (read(fd.get(), &first, 1) < 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

bool vanished(int error) { return error == ENOENT || error == ESRCH; }

std::string_view nextField(std::string_view& line) {
  const std::size_t begin = line.find_first_not_of(' ');
  if (begin == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(begin);
  const std::size_t end = std::min(line.find(' '), line.size());
  const std::string_view field = line.substr(0, end);
  line.remove_prefix(end);
  return field;
}

template <class T>
bool parseNumber(std::string_view text, int base, T& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// "start-end perms offset dev inode    path"; the path is the rest of the line
// and may hold blanks of its own.
bool parseMapping(std::string_view line, ExecutableMapping& mapping) {
  const std::string_view range = nextField(line);
  const std::string_view perms = nextField(line);
  nextField(line);  // offset
  const std::string_view device = nextField(line);
  const std::string_view inode = nextField(line);
  const std::size_t pathBegin = line.find_first_not_of(' ');
  if (pathBegin == std::string_view::npos) return false;
  const std::string_view path = line.substr(pathBegin);
  if (perms.size() < 3 || perms[2] != 'x' || path.front() != '/') return false;
  if (!parseNumber(inode, 10, mapping.inode) || mapping.inode == 0) return false;
  const std::size_t dash = range.find('-');
  const std::size_t colon = device.find(':');
  if (dash == std::string_view::npos || colon == std::string_view::npos) return false;
  if (!parseNumber(range.substr(0, dash), 16, mapping.start) || !parseNumber(range.substr(dash + 1), 16, mapping.end))
    return false;
  if (!parseNumber(device.substr(0, colon), 16, mapping.deviceMajor) ||
      !parseNumber(device.substr(colon + 1), 16, mapping.deviceMinor))
    return false;
  mapping.path.assign(path);
  return true;
}

bool endsDeleted(std::string_view path) {
  return path.size() >= kDeletedSuffix.size() && path.substr(path.size() - kDeletedSuffix.size()) == kDeletedSuffix;
}

std::string processFolder(int pid) { return "/proc/" + std::to_string(pid); }

bool sameInode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool isMappedInode(const struct stat& status, const ExecutableMapping& mapping) {
  return major(status.st_dev) == mapping.deviceMajor && minor(status.st_dev) == mapping.deviceMinor &&
         static_cast<std::uint64_t>(status.st_ino) == mapping.inode;
}

std::string mapFilesEntry(int pid, const ExecutableMapping& mapping) {
  char range[64];
  std::snprintf(range, sizeof range, "%llx-%llx", static_cast<unsigned long long>(mapping.start),
                static_cast<unsigned long long>(mapping.end));
  return processFolder(pid) + "/map_files/" + range;
}

// The kernel's handle to the mapped inode: its map_files entry, or where a kernel
// has none, the program link when the mapping is the program.
std::string kernelHandle(int pid, const ExecutableMapping& mapping) {
  const std::string entry = mapFilesEntry(pid, mapping);
  struct stat status {};
  if (lstat((processFolder(pid) + "/map_files").c_str(), &status) != 0 && errno == ENOENT) {
    const std::string exe = processFolder(pid) + "/exe";
    if (stat(exe.c_str(), &status) == 0 && isMappedInode(status, mapping)) return exe;
  }
  return entry;
}

// The file at `path` as the process sees it: below its root, as the engine will
// open it, without leaving the root or following a link. `deniedRoot` tells a
// root we may not enter from a path that names nothing there.
bool statInRoot(int pid, const std::string& path, struct stat& status, bool& deniedRoot) {
  UniqueFileDescriptor root(open((processFolder(pid) + "/root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  deniedRoot = root.get() < 0 && (errno == EACCES || errno == EPERM);
  if (root.get() < 0) return false;
  open_how how{};
  how.flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  const std::size_t first = path.find_first_not_of('/');
  if (first == std::string::npos) return false;
  const std::string relative = path.substr(first);
  const long fd = syscall(SYS_openat2, root.get(), relative.c_str(), &how, sizeof how);
  if (fd < 0) return false;
  const UniqueFileDescriptor file(static_cast<int>(fd));
  return fstat(file.get(), &status) == 0;
}

// Whether the map's path, as the process sees it, still names the mapped inode. A
// map may show the device of the file system beneath a stacked one (overlayfs),
// so where the numbers differ the inode behind the kernel's handle decides.
bool fileInPlace(int pid, const ExecutableMapping& mapping, bool sameMountNamespace) {
  struct stat named {};
  bool deniedRoot = false;
  const bool found =
      sameMountNamespace ? lstat(mapping.path.c_str(), &named) == 0 : statInRoot(pid, mapping.path, named, deniedRoot);
  // Without the right to look, the module is offered as the container's, and its
  // scan reports the denial under that name.
  if (deniedRoot) return true;
  if (!found || !S_ISREG(named.st_mode)) return false;
  if (isMappedInode(named, mapping)) return true;
  struct stat mapped {};
  return stat(mapFilesEntry(pid, mapping).c_str(), &mapped) == 0 && sameInode(named, mapped);
}

std::string mountNamespace(const std::string& process) {
  char target[128];
  const ssize_t length = readlink((process + "/ns/mnt").c_str(), target, sizeof target);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// A process whose namespace cannot be read is taken to share ours, as before
// namespaces were told apart.
bool sharesMountNamespace(int pid, const std::string& ours) {
  const std::string theirs = mountNamespace(processFolder(pid));
  return ours.empty() || theirs.empty() || theirs == ours;
}

constexpr std::string_view kMemfdPrefix = "/memfd:";

std::string holder(int pid) { return " [pid " + std::to_string(pid) + "]"; }

}  // namespace

std::vector<ExecutableMapping> parseExecutableMappings(std::string_view mapsText) {
  std::vector<ExecutableMapping> mappings;
  while (!mapsText.empty()) {
    const std::size_t end = std::min(mapsText.find('\n'), mapsText.size());
    ExecutableMapping mapping;
    if (parseMapping(mapsText.substr(0, end), mapping)) mappings.push_back(std::move(mapping));
    mapsText.remove_prefix(std::min(end + 1, mapsText.size()));
  }
  std::stable_sort(mappings.begin(), mappings.end(),
                   [](const ExecutableMapping& a, const ExecutableMapping& b) { return a.start < b.start; });
  return mappings;
}

ProcessModule describeMapping(int pid, const ExecutableMapping& mapping, bool inPlace, bool sameMountNamespace) {
  ProcessModule module;
  module.pid = pid;
  module.device = (static_cast<std::uint64_t>(mapping.deviceMajor) << 32) | mapping.deviceMinor;
  module.inode = mapping.inode;
  const std::string_view path = mapping.path;
  if (inPlace && sameMountNamespace) {
    module.name = mapping.path;
    module.contentPath = mapping.path;
    return module;
  }
  if (inPlace) {
    module.kind = ProcessModuleKind::InProcessRoot;
    module.contentPath = processFolder(pid) + "/root" + mapping.path;
    module.name = mapping.path + " [pid " + std::to_string(pid) + ", container root " + processFolder(pid) + "/root]";
    return module;
  }
  module.contentPath = kernelHandle(pid, mapping);
  if (path.starts_with(kMemfdPrefix) && endsDeleted(path)) {
    module.kind = ProcessModuleKind::Memory;
    module.name = std::string(path.substr(1, path.size() - 1 - kDeletedSuffix.size())) + holder(pid);
  } else if (endsDeleted(path)) {
    module.kind = ProcessModuleKind::Deleted;
    module.name = mapping.path + holder(pid);
  } else {
    module.kind = ProcessModuleKind::Replaced;
    module.name = mapping.path + " (replaced)" + holder(pid);
  }
  return module;
}

namespace {

constexpr std::size_t kModulesPerBatch = 64;
constexpr std::size_t kPendingBatches = 64;

// Reads the maps of the processes in turn and hands each executable mapping's
// module to `found`, once per file (by path for ordinary files, by inode for the
// others), until `found` answers true. Counts the processes whose maps could not
// be read.
template <class Sink>
void readModules(const std::vector<pid_t>& pids, std::uint32_t& unreadable, Sink&& found) {
  const std::string ourNamespace = mountNamespace("/proc/self");
  std::unordered_set<std::string> seenPaths;
  std::set<std::pair<std::uint64_t, std::uint64_t>> seenInodes;
  for (const pid_t pid : pids) {
    std::string maps;
    if (const int error = readMaps(pid, maps)) {
      if (!vanished(error)) ++unreadable;
      continue;
    }
    const bool sameNamespace = sharesMountNamespace(pid, ourNamespace);
    for (const ExecutableMapping& mapping : parseExecutableMappings(maps)) {
      ProcessModule module = describeMapping(pid, mapping, fileInPlace(pid, mapping, sameNamespace), sameNamespace);
      const bool fresh = module.kind == ProcessModuleKind::File
                             ? seenPaths.insert(module.name).second
                             : seenInodes.insert({module.device, module.inode}).second;
      if (fresh && found(std::move(module))) return;
    }
  }
}

// The walk with the reading on a thread of its own: reading the maps and looking
// at each mapped file take about as long as the visitor takes for the modules,
// and the two overlap. False when no thread could be started.
bool walkWithReader(const std::vector<pid_t>& pids, const ProcessModuleVisitor& visit, ProcessModuleWalk& walk) {
  BatchQueue<ProcessModule> found(kPendingBatches);
  std::uint32_t unreadable = 0;
  Thread reader;
  const std::uint32_t started = reader.start([&] {
    try {
      std::vector<ProcessModule> batch;
      readModules(pids, unreadable, [&](ProcessModule&& module) {
        batch.push_back(std::move(module));
        if (batch.size() < kModulesPerBatch) return false;
        return !found.put(std::exchange(batch, {}));
      });
      if (!batch.empty()) found.put(std::move(batch));
      found.finish();
    } catch (...) {
      found.finish(std::current_exception());
    }
  });
  if (started != 0) return false;
  try {
    std::vector<ProcessModule> batch;
    while (!walk.stopped && found.take(batch)) {
      for (const ProcessModule& module : batch) {
        if (visit(module)) {
          walk.stopped = true;
          break;
        }
      }
    }
  } catch (...) {
    found.stop();
    reader.join();
    throw;
  }
  found.stop();
  reader.join();
  walk.unreadableProcesses = unreadable;
  return true;
}

}  // namespace

ProcessModuleWalk forEachProcessModule(const ProcessModuleVisitor& visit) {
  ProcessModuleWalk walk;
  std::vector<pid_t> pids;
  walk.systemError = listProcesses(pids);
  if (walk.systemError != 0) return walk;
  if (walkWithReader(pids, visit, walk)) return walk;
  readModules(pids, walk.unreadableProcesses, [&](ProcessModule&& module) { return walk.stopped = visit(module); });
  return walk;
}

namespace {

// The pid of a name that ends " [pid N]" or " [pid N, ...]"; 0 otherwise.
int holderOf(const std::string& name) {
  constexpr std::string_view kHolder = " [pid ";
  const std::size_t at = name.rfind(kHolder);
  if (at == std::string::npos || name.back() != ']') return 0;
  const std::string_view rest = std::string_view(name).substr(at + kHolder.size());
  int pid = 0;
  const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), pid);
  return ec == std::errc() && (*end == ']' || *end == ',') ? pid : 0;
}

struct MappedInode {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint64_t inode = 0;
  bool operator==(const MappedInode&) const = default;
};

MappedInode inodeOf(const ExecutableMapping& mapping) {
  return {mapping.deviceMajor, mapping.deviceMinor, mapping.inode};
}

// The inode the walk offered as `name`: through the holder's map for a module
// named with its holder, through the path for an ordinary file.
bool findNamedInode(const std::string& name, MappedInode& found) {
  const int holder = holderOf(name);
  if (holder == 0) {
    struct stat status {};
    if (lstat(name.c_str(), &status) != 0) return false;
    found = {major(status.st_dev), minor(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
    return true;
  }
  std::string maps;
  if (readMaps(holder, maps) != 0) return false;
  const bool sameNamespace = sharesMountNamespace(holder, mountNamespace("/proc/self"));
  for (const ExecutableMapping& mapping : parseExecutableMappings(maps)) {
    if (describeMapping(holder, mapping, fileInPlace(holder, mapping, sameNamespace), sameNamespace).name == name) {
      found = inodeOf(mapping);
      return true;
    }
  }
  return false;
}

}  // namespace

std::uint32_t countProcessesWithUnreadableMaps() {
  std::vector<pid_t> pids;
  if (listProcesses(pids) != 0) return 0;
  std::uint32_t unreadable = 0;
  for (const pid_t pid : pids) {
    if (const int error = probeMaps(pid); error != 0 && !vanished(error)) ++unreadable;
  }
  return unreadable;
}

std::vector<int> processesHoldingModule(const std::string& name) {
  std::vector<int> holders;
  MappedInode wanted;
  std::vector<pid_t> pids;
  if (!findNamedInode(name, wanted) || listProcesses(pids) != 0) return holders;
  for (const pid_t pid : pids) {
    std::string maps;
    if (readMaps(pid, maps) != 0) continue;
    for (const ExecutableMapping& mapping : parseExecutableMappings(maps)) {
      if (inodeOf(mapping) == wanted) {
        holders.push_back(pid);
        break;
      }
    }
  }
  return holders;
}

}  // namespace platform
