#include "platform/ProcessModules.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/BatchQueue.h"
#include "platform/Thread.h"
#include "platform/UniqueFileDescriptor.h"

namespace platform {

namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";
constexpr std::string_view kReplacedSuffix = " (replaced)";
constexpr std::string_view kMemfdPrefix = "/memfd:";
constexpr std::string_view kHolderPrefix = " [pid ";
constexpr std::string_view kInodeField = ", inode ";

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

std::optional<UnreadableMapsReason> unreadableReason(MapsReadStatus status) {
  switch (status) {
    case MapsReadStatus::Read:
    case MapsReadStatus::Vanished: return std::nullopt;
    case MapsReadStatus::Denied: return UnreadableMapsReason::Permission;
    case MapsReadStatus::Unstable: return UnreadableMapsReason::Unstable;
    case MapsReadStatus::TooLarge: return UnreadableMapsReason::TooLarge;
    case MapsReadStatus::Failed: break;
  }
  return UnreadableMapsReason::Failed;
}

void listUnreadable(int pid, MapsReadStatus status, int error, std::vector<UnreadableProcess>* unreadable) {
  if (const auto reason = unreadableReason(status); reason && unreadable != nullptr)
    unreadable->push_back({pid, *reason, static_cast<std::uint32_t>(error)});
}

// Reads the maps of pid; false when they give no view, which is then listed in
// `unreadable` unless the process has ended.
bool readMapsOrList(ProcessMapsReader& reader, int pid, const MapsReadLimits& limits,
                    std::vector<UnreadableProcess>* unreadable) {
  const MapsReadStatus status = reader.read(pid, limits);
  if (status == MapsReadStatus::Read) return true;
  listUnreadable(pid, status, reader.error(), unreadable);
  return false;
}

// A process whose maps did not settle on a first look, with the executable
// mappings that look saw.
struct Unsettled {
  pid_t pid = 0;
  std::string seen;
};

// The executable mappings of every read of a process's maps, each line once, for
// a process whose maps never settle: a mapping kept moving is still in some read.
// Bounded by the reader's byte limit; past it, nothing is kept. Nearly every
// process settles after two reads, so those two are only copied (up to a few
// MiB), and their lines are sorted out once a third read shows they are needed.
class EveryReadsMappings {
 public:
  explicit EveryReadsMappings(std::size_t limit) : limit_(limit) {}

  void add(std::string_view text) {
    if (reads_ < kCopiedReads && text.size() <= kLargestCopy) {
      copies_[reads_++].assign(text);
      return;
    }
    collectCopies();
    collect(text);
    ++reads_;
  }
  // The lines as one maps text, or nothing when they did not fit.
  std::optional<std::string> text() {
    collectCopies();
    if (overflowed_) return std::nullopt;
    std::string joined;
    joined.reserve(bytes_);
    for (const std::string& line : lines_) (joined += line) += '\n';
    return joined;
  }

 private:
  static constexpr std::size_t kCopiedReads = 2;
  static constexpr std::size_t kLargestCopy = std::size_t{4} << 20;

  void collectCopies() {
    for (std::string& copy : copies_) {
      if (!copy.empty()) collect(copy);
      std::string().swap(copy);
    }
  }

  void collect(std::string_view text) {
    forEachExecutableMapping(text, [&](const ExecutableMappingView& mapping) {
      const std::string_view line = lineOf(text, mapping.path);
      if (!overflowed_ && !lines_.contains(line)) {
        bytes_ += line.size() + 1;
        overflowed_ = bytes_ > limit_;
        if (!overflowed_) lines_.emplace(line);
      }
      return false;
    });
  }

  // The whole line of `text` that holds `inside`.
  static std::string_view lineOf(std::string_view text, std::string_view inside) {
    const auto at = static_cast<std::size_t>(inside.data() - text.data());
    const std::size_t begin = text.rfind('\n', at) == std::string_view::npos ? 0 : text.rfind('\n', at) + 1;
    const std::size_t end = std::min(text.find('\n', at), text.size());
    return text.substr(begin, end - begin);
  }

  const std::size_t limit_;
  std::array<std::string, kCopiedReads> copies_;
  std::size_t reads_ = 0;
  std::set<std::string, std::less<>> lines_;
  std::size_t bytes_ = 0;
  bool overflowed_ = false;
};

bool endsDeleted(std::string_view path) { return path.ends_with(kDeletedSuffix); }

std::string processFolder(int pid) { return "/proc/" + std::to_string(pid); }

struct InodeKey {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint64_t inode = 0;
  auto operator<=>(const InodeKey&) const = default;
};

InodeKey inodeOf(const ExecutableMappingView& mapping) {
  return {mapping.deviceMajor, mapping.deviceMinor, mapping.inode};
}

InodeKey inodeOf(const struct stat& status) {
  return {major(status.st_dev), minor(status.st_dev), static_cast<std::uint64_t>(status.st_ino)};
}

// A file as the walk tells files apart: the path it is mapped under and the
// identity of what it names. The path is a view into the maps text while one
// process is looked at; the walk keeps copies of the ones it offered.
struct NamedFile {
  InodeKey inode;
  std::string_view path;
  bool operator==(const NamedFile&) const = default;
};

struct OfferedFile {
  InodeKey inode;
  std::string path;
  operator NamedFile() const { return {inode, path}; }
};

struct NamedFileHash {
  using is_transparent = void;
  std::size_t operator()(const NamedFile& file) const noexcept {
    std::size_t hash = std::hash<std::string_view>()(file.path);
    for (const std::uint64_t part : {std::uint64_t{file.inode.major} << 32 | file.inode.minor, file.inode.inode})
      hash = (hash ^ std::hash<std::uint64_t>()(part)) * 0x9E3779B97F4A7C15ULL;
    return hash;
  }
  std::size_t operator()(const OfferedFile& file) const noexcept { return (*this)(NamedFile(file)); }
};

struct NamedFileEqual {
  using is_transparent = void;
  bool operator()(const NamedFile& a, const NamedFile& b) const noexcept { return a == b; }
};

struct InodeKeyHash {
  std::size_t operator()(const InodeKey& key) const noexcept {
    return NamedFileHash()(NamedFile{key, {}});
  }
};

ExecutableMappingView viewOf(const ExecutableMapping& mapping) {
  return {mapping.start, mapping.end, mapping.deviceMajor, mapping.deviceMinor, mapping.inode, mapping.path};
}

std::string mapFilesEntry(int pid, const ExecutableMappingView& mapping) {
  char range[64];
  std::snprintf(range, sizeof range, "%llx-%llx", static_cast<unsigned long long>(mapping.start),
                static_cast<unsigned long long>(mapping.end));
  return processFolder(pid) + "/map_files/" + range;
}

bool hasMapFiles(int pid) {
  struct stat status {};
  return !(lstat((processFolder(pid) + "/map_files").c_str(), &status) != 0 && errno == ENOENT);
}

// The kernel's handle to the mapped inode: its map_files entry, or where a kernel
// has none, the program link when the mapping is the program.
std::string kernelHandle(int pid, const ExecutableMappingView& mapping, bool mapFiles) {
  if (!mapFiles) {
    const std::string exe = processFolder(pid) + "/exe";
    struct stat status {};
    if (stat(exe.c_str(), &status) == 0 && inodeOf(status) == inodeOf(mapping)) return exe;
  }
  return mapFilesEntry(pid, mapping);
}

UniqueFileDescriptor openWithoutLinks(int root, const std::string& path, std::uint64_t flags) {
  open_how how{};
  how.flags = flags | O_PATH | O_NOFOLLOW | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | (root == AT_FDCWD ? 0 : RESOLVE_IN_ROOT);
  return UniqueFileDescriptor(static_cast<int>(syscall(SYS_openat2, root, path.c_str(), &how, sizeof how)));
}

// Opens `path` below `root` (AT_FDCWD: our own root) as the engine will open it,
// without leaving the root or following a link, and takes its status.
bool statWithoutLinks(int root, const std::string& path, struct stat& status) {
  const UniqueFileDescriptor file = openWithoutLinks(root, path, 0);
  return file.valid() && fstat(file.get(), &status) == 0;
}

// The folders one process's modules lie in, opened without following a link, so
// that each module costs one look at its last name (itself no link followed)
// rather than a walk of its whole path.
class FolderCache {
 public:
  // The status of `path` below `root` as statWithoutLinks takes it.
  bool stat(int root, const std::string& path, struct stat& status) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name = std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
    if (slash == std::string::npos || name.empty() || name == "." || name == "..")
      return statWithoutLinks(root, path, status);
    const int folder = open(root, path.substr(0, slash));
    if (folder < 0) return false;
    return fstatat(folder, std::string(name).c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
  }

 private:
  static constexpr std::size_t kFolders = 256;

  int open(int root, const std::string& folder) {
    if (const auto held = folders_.find(folder); held != folders_.end()) return held->second.get();
    if (folders_.size() >= kFolders) folders_.clear();
    // The root itself: "/" in our view, "." below another root.
    const std::string relative = folder.empty() ? (root == AT_FDCWD ? "/" : ".") : folder;
    UniqueFileDescriptor opened = openWithoutLinks(root, relative, O_DIRECTORY);
    const int fd = opened.get();
    if (opened.valid()) folders_.emplace(folder, std::move(opened));
    return fd;
  }

  std::unordered_map<std::string, UniqueFileDescriptor> folders_;
};

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

std::string holder(int pid, std::uint64_t inode) {
  return std::string(kHolderPrefix) + std::to_string(pid) + std::string(kInodeField) + std::to_string(inode) + "]";
}

// What `pid` maps as `mapping`, named after `path` (the real name the map shows,
// or for a file in place the text that names it).
ProcessModule describe(int pid, const ExecutableMappingView& mapping, std::string_view path, bool inPlace,
                       bool sameMountNamespace, std::string handle) {
  ProcessModule module;
  module.pid = pid;
  module.deviceMajor = mapping.deviceMajor;
  module.deviceMinor = mapping.deviceMinor;
  module.device = (static_cast<std::uint64_t>(mapping.deviceMajor) << 32) | mapping.deviceMinor;
  module.inode = mapping.inode;
  module.kernelHandle = std::move(handle);
  if (inPlace && sameMountNamespace) {
    module.name = path;
    module.contentPath = path;
    return module;
  }
  if (inPlace) {
    module.kind = ProcessModuleKind::InProcessRoot;
    module.contentPath = processFolder(pid) + "/root" + std::string(path);
    module.name = std::string(path) + std::string(kHolderPrefix) + std::to_string(pid) + ", container root " +
                  processFolder(pid) + "/root]";
    return module;
  }
  module.contentPath = module.kernelHandle;
  const std::string owner = holder(pid, mapping.inode);
  if (path.starts_with(kMemfdPrefix) && endsDeleted(path)) {
    module.kind = ProcessModuleKind::Memory;
    module.name = std::string(path.substr(1, path.size() - 1 - kDeletedSuffix.size())) + owner;
  } else if (endsDeleted(path)) {
    module.kind = ProcessModuleKind::Deleted;
    module.name = std::string(path) + owner;
  } else {
    module.kind = ProcessModuleKind::Replaced;
    module.name = std::string(path) + std::string(kReplacedSuffix) + owner;
  }
  return module;
}

// One process as a walk looks at it: where its paths lead, in its own view.
class ProcessView {
 public:
  ProcessView(int pid, bool sameMountNamespace) : pid_(pid), sameMountNamespace_(sameMountNamespace) {}

  int pid() const { return pid_; }
  bool sameMountNamespace() const { return sameMountNamespace_; }

  // The name under which the process's view still reaches the mapped inode: the
  // real name (escapes undone) or else the text as the map shows it. None when
  // neither does. A root we may not enter counts as in place: the module is
  // offered as the container's, and its scan reports the denial under that name.
  std::optional<std::string> nameInPlace(const ExecutableMappingView& mapping, const std::string& decoded) {
    if (namesMappedInode(mapping, decoded)) return decoded;
    if (decoded != mapping.path && namesMappedInode(mapping, std::string(mapping.path)))
      return std::string(mapping.path);
    return std::nullopt;
  }

  std::string handleTo(const ExecutableMappingView& mapping) {
    if (!mapFiles_) mapFiles_ = hasMapFiles(pid_);
    return kernelHandle(pid_, mapping, *mapFiles_);
  }

 private:
  // A map may show the device of the file system beneath a stacked one
  // (overlayfs), so where the numbers differ the inode behind the kernel's handle
  // decides.
  bool namesMappedInode(const ExecutableMappingView& mapping, const std::string& path) {
    struct stat named {};
    if (!statNamed(path, named)) return rootDenied_;
    if (!S_ISREG(named.st_mode)) return false;
    if (inodeOf(named) == inodeOf(mapping)) return true;
    struct stat mapped {};
    return stat(mapFilesEntry(pid_, mapping).c_str(), &mapped) == 0 && inodeOf(mapped) == inodeOf(named);
  }

  bool statNamed(const std::string& path, struct stat& status) {
    if (sameMountNamespace_) return folders_.stat(AT_FDCWD, path, status);
    if (!rootTried_) {
      rootTried_ = true;
      root_ = UniqueFileDescriptor(open((processFolder(pid_) + "/root").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
      rootDenied_ = !root_.valid() && (errno == EACCES || errno == EPERM);
    }
    const std::size_t first = path.find_first_not_of('/');
    if (!root_.valid() || first == std::string::npos) return false;
    return folders_.stat(root_.get(), path.substr(first), status);
  }

  int pid_;
  bool sameMountNamespace_;
  UniqueFileDescriptor root_;
  bool rootTried_ = false;
  bool rootDenied_ = false;
  FolderCache folders_;
  std::optional<bool> mapFiles_;
};

}  // namespace

std::string_view describeUnreadableMapsReason(UnreadableMapsReason reason) {
  switch (reason) {
    case UnreadableMapsReason::Permission: return "permission denied";
    case UnreadableMapsReason::Unstable: return "no two reads of its maps agreed";
    case UnreadableMapsReason::TooLarge: return "its maps exceed the size limit";
    case UnreadableMapsReason::Failed: break;
  }
  return "its maps could not be read";
}

ProcessModule describeMapping(int pid, const ExecutableMapping& mapping, bool inPlace, bool sameMountNamespace) {
  const ExecutableMappingView view = viewOf(mapping);
  return describe(pid, view, decodeMapsPath(mapping.path), inPlace, sameMountNamespace,
                  kernelHandle(pid, view, hasMapFiles(pid)));
}

namespace {

constexpr std::size_t kModulesPerBatch = 64;
constexpr std::size_t kPendingBatches = 64;

// Reads the maps of the processes in turn and hands each executable mapping's
// module to a sink, once per file: an ordinary file once per path and identity,
// the others once per identity. Lists the processes whose maps give no view.
class ModuleReader {
 public:
  ModuleReader(const MapsReadLimits& limits, std::vector<UnreadableProcess>& unreadable)
      : limits_(limits), unreadable_(unreadable), ourNamespace_(mountNamespace("/proc/self")) {}

  // True when the sink ended the walk. A process whose maps did not settle on a
  // first look (one starting up maps its libraries in quick succession) is put
  // in `unsettled` for a last look once the others are done, where no such
  // list is given.
  template <class Sink>
  bool readProcess(pid_t pid, Sink&& found, std::vector<Unsettled>* unsettled = nullptr,
                   std::string_view seenBefore = {}) {
    EveryReadsMappings everyRead(limits_.bytes);
    if (!seenBefore.empty()) everyRead.add(seenBefore);
    const MapsReadStatus status = maps_.read(pid, limits_, [&](std::string_view text) { everyRead.add(text); });
    if (status == MapsReadStatus::Read) {
      // What the first look saw is scanned too: a mapping that kept moving then.
      return (!seenBefore.empty() && offerModules(pid, seenBefore, found)) || offerModules(pid, maps_.text(), found);
    }
    if (status == MapsReadStatus::Unstable && unsettled != nullptr) {
      // What waits for a last look is bounded as one view is: processes that
      // all keep changing their maps must not make the walk hold each one's.
      std::optional<std::string> seen = everyRead.text();
      if (seen && waitingBytes_ + seen->size() <= limits_.bytes) {
        waitingBytes_ += seen->size();
        unsettled->push_back({pid, std::move(*seen)});
        return false;
      }
    }
    listUnreadable(pid, status, maps_.error(), &unreadable_);
    // A process whose maps never settle is listed, and what any read of them
    // showed is scanned all the same.
    if (status != MapsReadStatus::Unstable) return false;
    const std::optional<std::string> seen = everyRead.text();
    return seen && offerModules(pid, *seen, found);
  }

 private:
  template <class Sink>
  bool offerModules(pid_t pid, std::string_view mapsText, Sink&& found) {
    ProcessView process(pid, sharesMountNamespace(pid, ourNamespace_));
    std::unordered_set<NamedFile, NamedFileHash, NamedFileEqual> seenHere;
    return forEachExecutableMapping(mapsText, [&](const ExecutableMappingView& mapping) {
      // A file mapped many times is looked at once per process.
      if (!seenHere.insert({inodeOf(mapping), mapping.path}).second) return false;
      std::optional<ProcessModule> module = moduleOf(process, mapping);
      return module && found(std::move(*module));
    });
  }

  // The module, unless this walk offered its file already.
  std::optional<ProcessModule> moduleOf(ProcessView& process, const ExecutableMappingView& mapping) {
    const InodeKey inode = inodeOf(mapping);
    const std::string decoded = decodeMapsPath(mapping.path);
    // The same path and inode looked at in place before: the inode was offered
    // then, whatever the path names now.
    if (process.sameMountNamespace() &&
        (offeredFiles_.contains(NamedFile{inode, decoded}) || offeredFiles_.contains(NamedFile{inode, mapping.path})))
      return std::nullopt;
    const std::optional<std::string> inPlace = process.nameInPlace(mapping, decoded);
    ProcessModule module = describe(process.pid(), mapping, inPlace ? *inPlace : decoded, inPlace.has_value(),
                                    process.sameMountNamespace(), process.handleTo(mapping));
    const bool fresh = module.kind == ProcessModuleKind::File
                           ? offeredFiles_.insert(OfferedFile{inode, module.name}).second
                           : offeredInodes_.insert(inode).second;
    if (!fresh) return std::nullopt;
    return module;
  }

  MapsReadLimits limits_;
  std::size_t waitingBytes_ = 0;  // of the views of processes awaiting a last look
  std::vector<UnreadableProcess>& unreadable_;
  const std::string ourNamespace_;
  ProcessMapsReader maps_;
  std::unordered_set<OfferedFile, NamedFileHash, NamedFileEqual> offeredFiles_;
  std::unordered_set<InodeKey, InodeKeyHash> offeredInodes_;
};

template <class Sink>
void readModules(const std::vector<pid_t>& pids, const MapsReadLimits& limits,
                 std::vector<UnreadableProcess>& unreadable, Sink&& found) {
  ModuleReader reader(limits, unreadable);
  std::vector<Unsettled> unsettled;
  for (const pid_t pid : pids) {
    if (reader.readProcess(pid, found, &unsettled)) return;
  }
  for (const Unsettled& process : unsettled) {
    if (reader.readProcess(process.pid, found, nullptr, process.seen)) return;
  }
  std::sort(unreadable.begin(), unreadable.end(),
            [](const UnreadableProcess& a, const UnreadableProcess& b) { return a.pid < b.pid; });
}

// The walk with the reading on a thread of its own: reading the maps and looking
// at each mapped file take about as long as the visitor takes for the modules,
// and the two overlap. False when no thread could be started.
bool walkWithReader(const std::vector<pid_t>& pids, const MapsReadLimits& limits, const ProcessModuleVisitor& visit,
                    ProcessModuleWalk& walk) {
  BatchQueue<ProcessModule> found(kPendingBatches);
  std::vector<UnreadableProcess> unreadable;
  Thread reader;
  const std::uint32_t started = reader.start([&] {
    try {
      std::vector<ProcessModule> batch;
      readModules(pids, limits, unreadable, [&](ProcessModule&& module) {
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
  walk.unreadable = std::move(unreadable);
  return true;
}

}  // namespace

ProcessModuleWalk forEachProcessModule(const ProcessModuleVisitor& visit, const MapsReadLimits& limits) {
  ProcessModuleWalk walk;
  std::vector<pid_t> pids;
  walk.systemError = listProcesses(pids);
  if (walk.systemError != 0) return walk;
  if (!walkWithReader(pids, limits, visit, walk)) {
    readModules(pids, limits, walk.unreadable,
                [&](ProcessModule&& module) { return walk.stopped = visit(module); });
  }
  walk.unreadableProcesses = static_cast<std::uint32_t>(walk.unreadable.size());
  return walk;
}

namespace {

// A name a walk gave a module with its holder: "<stem> [pid N]", "<stem> [pid N,
// inode I]" or "<stem> [pid N, container root ...]".
struct HolderName {
  std::string_view stem;
  int pid = 0;
  std::optional<std::uint64_t> inode;
};

std::optional<HolderName> parseHolderName(std::string_view name) {
  const std::size_t at = name.rfind(kHolderPrefix);
  if (at == std::string_view::npos || !name.ends_with(']')) return std::nullopt;
  HolderName parsed;
  parsed.stem = name.substr(0, at);
  const std::string_view rest = name.substr(at + kHolderPrefix.size());
  const char* const last = rest.data() + rest.size();
  const auto [end, ec] = std::from_chars(rest.data(), last, parsed.pid);
  if (ec != std::errc() || parsed.pid <= 0 || (*end != ']' && *end != ',')) return std::nullopt;
  const std::string_view after(end, static_cast<std::size_t>(last - end));
  if (after.starts_with(kInodeField)) {
    std::uint64_t inode = 0;
    const auto [inodeEnd, inodeEc] = std::from_chars(end + kInodeField.size(), last, inode);
    if (inodeEc != std::errc() || inodeEnd != last - 1) return std::nullopt;
    parsed.inode = inode;
  }
  return parsed;
}

// Whether a walk could have named `mapping` `stem` (before the holder), as what
// kind ever: the real name or the text as shown, in place, deleted, memfd or
// replaced.
bool couldBeNamed(const ExecutableMappingView& mapping, std::string_view stem) {
  const std::string decoded = decodeMapsPath(mapping.path);
  for (const std::string_view path : {std::string_view(decoded), mapping.path}) {
    if (stem == path) return true;
    if (stem.size() == path.size() + kReplacedSuffix.size() && stem.starts_with(path) && stem.ends_with(kReplacedSuffix))
      return true;
    if (path.starts_with(kMemfdPrefix) && endsDeleted(path) &&
        stem == path.substr(1, path.size() - 1 - kDeletedSuffix.size()))
      return true;
  }
  return false;
}

// The inodes the holder maps under the name: those that fit the name as a walk
// gives it, and where the name carries the inode, that inode alone (also when its
// name has changed form since, a replaced file deleted meanwhile).
std::vector<InodeKey> inodesNamedInHolder(const HolderName& name) {
  ProcessMapsReader maps;
  if (maps.read(name.pid) != MapsReadStatus::Read) return {};
  std::set<InodeKey> fitting;
  std::set<InodeKey> sameNumber;
  forEachExecutableMapping(maps.text(), [&](const ExecutableMappingView& mapping) {
    if (name.inode && mapping.inode != *name.inode) return false;
    if (name.inode) sameNumber.insert(inodeOf(mapping));
    if (couldBeNamed(mapping, name.stem)) fitting.insert(inodeOf(mapping));
    return false;
  });
  const std::set<InodeKey>& found = fitting.empty() ? sameNumber : fitting;
  return {found.begin(), found.end()};
}

std::vector<int> processesHolding(const std::vector<InodeKey>& wanted) {
  std::vector<int> holders;
  std::vector<pid_t> pids;
  if (wanted.empty() || listProcesses(pids) != 0) return holders;
  ProcessMapsReader maps;
  for (const pid_t pid : pids) {
    if (maps.read(pid) != MapsReadStatus::Read) continue;
    const bool holds = forEachExecutableMapping(maps.text(), [&](const ExecutableMappingView& mapping) {
      return std::find(wanted.begin(), wanted.end(), inodeOf(mapping)) != wanted.end();
    });
    if (holds) holders.push_back(pid);
  }
  return holders;
}

}  // namespace

std::vector<UnreadableProcess> listProcessesWithUnreadableMaps(const MapsReadLimits& limits) {
  std::vector<UnreadableProcess> unreadable;
  std::vector<pid_t> pids;
  if (listProcesses(pids) != 0) return unreadable;
  ProcessMapsReader maps;
  // As in a walk, a process whose maps did not settle gets a last look once the
  // others are done.
  std::vector<pid_t> unsettled;
  for (const pid_t pid : pids) {
    const MapsReadStatus status = maps.read(pid, limits);
    if (status == MapsReadStatus::Unstable) {
      unsettled.push_back(pid);
    } else if (status != MapsReadStatus::Read) {
      listUnreadable(pid, status, maps.error(), &unreadable);
    }
  }
  for (const pid_t pid : unsettled) readMapsOrList(maps, pid, limits, &unreadable);
  std::sort(unreadable.begin(), unreadable.end(),
            [](const UnreadableProcess& a, const UnreadableProcess& b) { return a.pid < b.pid; });
  return unreadable;
}

std::uint32_t countProcessesWithUnreadableMaps() {
  return static_cast<std::uint32_t>(listProcessesWithUnreadableMaps().size());
}

std::vector<int> processesHoldingInode(std::uint32_t deviceMajor, std::uint32_t deviceMinor, std::uint64_t inode) {
  return processesHolding({InodeKey{deviceMajor, deviceMinor, inode}});
}

// A file may itself be named like a module with a holder; what the holder maps
// decides first, and a name the holder does not fit is taken as a path.
std::vector<int> processesHoldingModule(const std::string& name) {
  if (const std::optional<HolderName> holderName = parseHolderName(name)) {
    const std::vector<InodeKey> wanted = inodesNamedInHolder(*holderName);
    if (!wanted.empty()) return processesHolding(wanted);
  }
  struct stat status {};
  if (!statWithoutLinks(AT_FDCWD, name, status)) return {};
  return processesHolding({inodeOf(status)});
}

}  // namespace platform
