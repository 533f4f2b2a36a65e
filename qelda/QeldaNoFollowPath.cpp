#include "qelda/QeldaNoFollowPath.h"

#include "qelda/QeldaProcessHandle.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cerrno>
#include <climits>
#include <cstdint>

namespace qelda {
namespace {

int checkAbsolute(const std::string& path) {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) return EINVAL;
  return path.size() >= PATH_MAX ? ENAMETOOLONG : 0;
}

// Opens one component of a walk. O_PATH|O_NOFOLLOW hands back the link itself
// rather than failing, so a link is told from a folder by its own type.
int openComponent(int at, const std::string& name, Fd& out) {
  Fd next(::openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!next.valid()) return errno;
  struct stat info {};
  if (::fstat(next.get(), &info) != 0) return errno;
  if (S_ISLNK(info.st_mode)) return ELOOP;
  if (!S_ISDIR(info.st_mode)) return ENOTDIR;
  out = std::move(next);
  return 0;
}

}  // namespace

int splitEntryPath(const std::string& path, std::string& folder, std::string& name) {
  if (const int error = checkAbsolute(path)) return error;
  const auto slash = path.find_last_of('/');
  name = path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return EISDIR;
  folder = slash == 0 ? std::string("/") : path.substr(0, slash);
  return 0;
}

int makeFolderNoFollow(const std::string& path, mode_t mode, Fd& folder) {
  if (const int error = checkAbsolute(path)) return error;
  Fd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!current.valid()) return errno;
  for (std::size_t start = 0; start < path.size();) {
    const auto end = std::min(path.find('/', start), path.size());
    const std::string name = path.substr(start, end - start);
    if (!name.empty() && name != ".") {
      if (name == "..") return EINVAL;
      Fd next;
      if (const int error = openOrMakeFolderAt(current.get(), name, mode, next)) return error;
      current = std::move(next);
    }
    start = end + 1;
  }
  folder = std::move(current);
  return 0;
}

int walkFolderNoFollow(const std::string& path, Fd& folder) {
  if (const int error = checkAbsolute(path)) return error;
  Fd current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!current.valid()) return errno;
  for (std::size_t start = 0; start < path.size();) {
    const auto end = std::min(path.find('/', start), path.size());
    if (end > start) {
      Fd next;
      if (const int error = openComponent(current.get(), path.substr(start, end - start), next)) return error;
      current = std::move(next);
    }
    start = end + 1;
  }
  folder = std::move(current);
  return 0;
}

namespace {

constexpr std::uint64_t kNoLinks = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;

// openat2 with O_PATH|O_CLOEXEC and `flags`. 0 or its errno (ENOSYS without it).
int openPathAt(int at, const std::string& path, std::uint64_t flags, std::uint64_t resolve, Fd& opened) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC | flags;
  how.resolve = resolve;
  const long fd = ::syscall(SYS_openat2, at, path.c_str(), &how, sizeof how);
  if (fd < 0) return errno;
  opened.reset(static_cast<int>(fd));
  return 0;
}

// A folder as a process in another mount namespace sees it. The root link is the
// one magic link followed; below it nothing leaves the root or follows a link.
// Without openat2 there is no such resolution, and the folder is not opened.
int openInProcessRoot(const std::string& process, const std::string& inside, Fd& folder) {
  Fd processFolder;
  if (const int error = openFolderNoFollow(process, processFolder)) return error;
  Fd root(::openat(processFolder.get(), "root", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root.valid()) return errno;
  const std::string relative = inside.size() > 1 ? inside.substr(1) : std::string(".");
  return openPathAt(root.get(), relative, O_DIRECTORY, RESOLVE_IN_ROOT | kNoLinks, folder);
}

}  // namespace

int openFolderNoFollow(const std::string& path, Fd& folder) {
  if (const int error = checkAbsolute(path)) return error;
  std::string process;
  std::string inside;
  if (splitProcessRootPath(path, process, inside)) return openInProcessRoot(process, inside, folder);
  const int error = openPathAt(AT_FDCWD, path, O_DIRECTORY, kNoLinks, folder);
  return error == ENOSYS ? walkFolderNoFollow(path, folder) : error;
}

int openEntryNoFollow(const std::string& path, Fd& entry) {
  if (const int error = checkAbsolute(path)) return error;
  std::string process;
  std::string inside;
  if (splitProcessRootPath(path, process, inside)) return EXDEV;
  return openPathAt(AT_FDCWD, path, O_NOFOLLOW, kNoLinks, entry);
}

int openOrMakeFolderAt(int parent, const std::string& name, mode_t mode, Fd& folder) {
  if (::mkdirat(parent, name.c_str(), mode) != 0 && errno != EEXIST) return errno;
  Fd opened(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!opened.valid()) {
    const int error = errno;
    struct stat info {};
    if (error == ENOTDIR && ::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(info.st_mode)) {
      return ELOOP;
    }
    return error;
  }
  folder = std::move(opened);
  return 0;
}

}  // namespace qelda
