#include "qelda/QeldaMountReach.h"

#include "qelda/QeldaFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <memory>
#include <optional>
#include <set>

namespace qelda {
namespace {


// The next space-separated field; false at the end or for an empty field (two
// spaces in a row), which the kernel never prints.
bool nextField(std::string_view& rest, std::string_view& field) {
  if (rest.empty()) return false;
  const std::size_t space = rest.find(' ');
  field = rest.substr(0, space);
  rest = space == std::string_view::npos ? std::string_view{} : rest.substr(space + 1);
  return !field.empty();
}

template <typename Number>
bool parseNumber(std::string_view text, Number& value) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return !text.empty() && error == std::errc{} && stop == end;
}

bool parseDevice(std::string_view text, unsigned& major, unsigned& minor) {
  const std::size_t colon = text.find(':');
  return colon != std::string_view::npos && parseNumber(text.substr(0, colon), major) &&
         parseNumber(text.substr(colon + 1), minor);
}

// After the mount options come optional fields up to a lone "-", then the file
// system type, the source and the super block's options.
bool hasTail(std::string_view rest) {
  std::string_view field;
  while (nextField(rest, field)) {
    if (field != "-") continue;
    int after = 0;
    while (nextField(rest, field)) ++after;
    return after >= 3;
  }
  return false;
}


}  // namespace


bool parseMountInfoLine(std::string_view line, MountInfoLine& out) {
    std::string_view rest = line;
  std::string_view id, parent, device, root, mountPoint, options;
  std::uint64_t parentId = 0;
  if (!nextField(rest, id) || !nextField(rest, parent) || !nextField(rest, device) || !nextField(rest, root) ||
      !nextField(rest, mountPoint) || !nextField(rest, options))
    return false;
  MountInfoLine parsed;
  if (!parseNumber(id, parsed.id) || !parseNumber(parent, parentId) ||
      !parseDevice(device, parsed.major, parsed.minor) || mountPoint.front() != '/' || !hasTail(rest))
    return false;
  parsed.root = root;
  parsed.mountPoint = mountPoint;
  out = parsed;
  return true;
}

bool decodeMountInfoPath(std::string_view escaped, std::string& out) {
  std::string decoded;
  decoded.reserve(escaped.size());
  for (std::size_t at = 0; at < escaped.size(); ++at) {
    if (escaped[at] == '\0') return false;
    if (escaped[at] != '\\') {
      decoded.push_back(escaped[at]);
      continue;
    }
    if (escaped.size() - at < 4) return false;
    unsigned value = 0;
    for (std::size_t digit = at + 1; digit <= at + 3; ++digit) {
      if (escaped[digit] < '0' || escaped[digit] > '7') return false;
      value = value * 8 + static_cast<unsigned>(escaped[digit] - '0');
    }
    if (value == 0 || value > 0377) return false;
    decoded.push_back(static_cast<char>(value));
    at += 3;
  }
  out = std::move(decoded);
  return true;
}



namespace {


enum class Reach { None, Serves, Unknown };

// The held file, and the devices its mounts show in mountinfo: st_dev, and the
// super block's device of the mount it was opened through, which differs where a
// file system gives its files a device of their own (btrfs subvolumes, some
// overlays). Without the latter any device is a candidate.
struct Target {
  dev_t device = 0;
  ino_t inode = 0;
  std::optional<dev_t> superBlock;

  bool candidate(const MountInfoLine& mount) const {
    if (!rootWasDeleted(mount.root)) return false;
    if (!superBlock) return true;
    const dev_t shown = makedev(mount.major, mount.minor);
    return shown == device || shown == *superBlock;
  }
};

bool taskGone(int error) { return error == ENOENT || error == ESRCH; }

// Reads all of `name` in `dir`, at most `limit` bytes. 0, the open's or read's
// errno, or EFBIG past the limit.
int readBounded(int dir, const char* name, std::size_t limit, std::string& out) {
  const Fd file(::openat(dir, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!file.valid()) return errno;
  out.clear();
  constexpr std::size_t kChunk = 64u << 10;
  for (;;) {
    const std::size_t had = out.size();
    if (had > limit) return EFBIG;
    out.resize(had + kChunk);
    const ssize_t got = ::read(file.get(), out.data() + had, kChunk);
    if (got < 0 && errno == EINTR) {
      out.resize(had);
      continue;
    }
    if (got < 0) return errno;
    out.resize(had + static_cast<std::size_t>(got));
    if (got == 0) return 0;
  }
}

// The task's mount namespace ("mnt:[4026531841]"), or nothing when it cannot be
// told.
std::optional<std::string> namespaceOf(int task) {
  char link[128];
  const ssize_t length = ::readlinkat(task, "ns/mnt", link, sizeof link);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof link) return std::nullopt;
  return std::string(link, static_cast<std::size_t>(length));
}

// The mount point inside the task's root, reached without following any link.
Fd openInRoot(int root, const std::string& path) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC | O_NOFOLLOW;
  how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  return Fd(static_cast<int>(::syscall(SYS_openat2, root, path.c_str(), &how, sizeof how)));
}

Reach servedThrough(const MountInfoLine& mount, int root, const Target& target) {
  std::string path;
  if (root < 0 || !decodeMountInfoPath(mount.mountPoint, path)) return Reach::Unknown;
  const Fd point = openInRoot(root, path);
  struct stat info {};
  if (!point.valid() || ::fstat(point.get(), &info) != 0) return Reach::Unknown;
  return info.st_dev == target.device && info.st_ino == target.inode ? Reach::Serves : Reach::None;
}

// The mounts of one task's mountinfo; `root` is that task's root (-1 when it
// could not be opened).
Reach servedInView(std::string_view mountinfo, int root, const Target& target) {
  while (!mountinfo.empty()) {
    const std::size_t end = mountinfo.find('\n');
    const std::string_view line = mountinfo.substr(0, end);
    mountinfo = end == std::string_view::npos ? std::string_view{} : mountinfo.substr(end + 1);
    MountInfoLine mount;
    if (!parseMountInfoLine(line, mount) || !target.candidate(mount)) continue;
    if (const Reach reach = servedThrough(mount, root, target); reach != Reach::None) return reach;
  }
  return Reach::None;
}

// What the views already examined, and the bytes read so far.
struct Walk {
  Target target;
  std::set<std::string> seen;  // namespace and root of each view examined
  std::size_t bytes = 0;
};

// The view's key: its namespace and its root's device and inode; nothing when
// either cannot be told, and the view is then examined on its own.
std::optional<std::string> viewKey(const std::optional<std::string>& space, int root) {
  struct stat info {};
  if (!space || root < 0 || ::fstat(root, &info) != 0) return std::nullopt;
  return *space + ' ' + std::to_string(info.st_dev) + ' ' + std::to_string(info.st_ino);
}

// One task, given as its /proc folder. A task that moved to another namespace
// while its mountinfo was read is read again, a few times at most.
Reach examineTask(int task, Walk& walk) {
  constexpr int kAttempts = 3;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const std::optional<std::string> space = namespaceOf(task);
    // The task's root, on purpose through its magic link: mount points in its
    // mountinfo are relative to it.
    const Fd root(::openat(task, "root", O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::optional<std::string> key = viewKey(space, root.get());
    if (key && walk.seen.contains(*key)) return Reach::None;
    std::string mountinfo;
    const int error = readBounded(task, "mountinfo", kMaxMountInfoBytes, mountinfo);
    // EINVAL: a zombie, which has no namespace any more.
    if (taskGone(error) || error == EINVAL) return Reach::None;
    if (error != 0) return Reach::Unknown;
    walk.bytes += mountinfo.size();
    if (walk.bytes > kMaxMountReachBytes) return Reach::Unknown;
    if (space != namespaceOf(task)) continue;
    if (key) walk.seen.insert(*key);
    return servedInView(mountinfo, root.get(), walk.target);
  }
  return Reach::Unknown;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

bool isNumber(const char* name) {
  std::uint64_t ignored = 0;
  return parseNumber(std::string_view(name), ignored);
}

// Opens the folder `name` in `parent` for listing. Nothing when it is gone.
Dir listAt(int parent, const char* name, int& error) {
  const int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  error = fd < 0 ? errno : 0;
  if (fd < 0) return nullptr;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    error = errno;
    ::close(fd);
  }
  return Dir(dir);
}

// Every thread of one process: a thread may have a namespace of its own.
Reach examineProcess(int proc, const char* pid, Walk& walk) {
  const Fd process(::openat(proc, pid, O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
  if (!process.valid()) return taskGone(errno) ? Reach::None : Reach::Unknown;
  int error = 0;
  const Dir tasks = listAt(process.get(), "task", error);
  if (!tasks) return taskGone(error) ? Reach::None : Reach::Unknown;
  while (const dirent* entry = ::readdir(tasks.get())) {
    if (!isNumber(entry->d_name)) continue;
    const Fd task(::openat(::dirfd(tasks.get()), entry->d_name, O_PATH | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!task.valid()) {
      if (taskGone(errno)) continue;
      return Reach::Unknown;
    }
    if (const Reach reach = examineTask(task.get(), walk); reach != Reach::None) return reach;
  }
  return Reach::None;
}

Reach examineAllProcesses(Walk& walk) {
  int error = 0;
  const Dir proc = listAt(AT_FDCWD, "/proc", error);
  if (!proc) return Reach::Unknown;
  errno = 0;
  while (const dirent* entry = ::readdir(proc.get())) {
    if (!isNumber(entry->d_name)) continue;
    if (const Reach reach = examineProcess(::dirfd(proc.get()), entry->d_name, walk); reach != Reach::None)
      return reach;
    errno = 0;
  }
  return errno == 0 ? Reach::None : Reach::Unknown;
}

// The super block's device of the mount `fd` was opened through, as this
// thread's mountinfo shows it.
std::optional<dev_t> superBlockOf(int fd, int self) {
  struct statx info {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &info) != 0 || (info.stx_mask & STATX_MNT_ID) == 0)
    return std::nullopt;
  std::string mountinfo;
  if (readBounded(self, "mountinfo", kMaxMountInfoBytes, mountinfo) != 0) return std::nullopt;
  std::string_view rest = mountinfo;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    MountInfoLine mount;
    if (parseMountInfoLine(rest.substr(0, end), mount) && mount.id == info.stx_mnt_id)
      return makedev(mount.major, mount.minor);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
  }
  return std::nullopt;
}


}  // namespace


int confirmNoMountServes(int fd) {
    Walk walk;
  struct stat held {};
  if (::fstat(fd, &held) != 0) return EMLINK;
  walk.target.device = held.st_dev;
  walk.target.inode = held.st_ino;
  const Fd self(::open("/proc/thread-self", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!self.valid()) return EMLINK;
  walk.target.superBlock = superBlockOf(fd, self.get());
  if (examineTask(self.get(), walk) != Reach::None) return EMLINK;
  return examineAllProcesses(walk) == Reach::None ? 0 : EMLINK;
}


}  // namespace qelda
