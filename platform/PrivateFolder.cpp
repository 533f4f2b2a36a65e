#include "platform/PrivateFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/ErrorCodes.h"

namespace platform {

namespace {

constexpr int kOpenFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool isPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

bool isOwnedPrivateFolder(const struct stat& status) {
  return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

// Empties the open folder `fd`; true when everything in it went.
bool emptyFolderAt(int fd);

bool removeEntryAt(int parent, const std::string& name) {
  struct stat status {};
  if (::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISDIR(status.st_mode)) return ::unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT;
  // Opened with O_NOFOLLOW: an entry swapped for a link since the test is refused.
  // What it held is settled by whether the folder itself can go.
  if (UniqueFileDescriptor child(::openat(parent, name.c_str(), kOpenFolderFlags)); child.valid()) {
    // A folder left without write permission for its owner would keep its contents.
    struct stat opened {};
    if (::fstat(child.get(), &opened) == 0 && (opened.st_mode & S_IRWXU) != S_IRWXU) {
      ::fchmod(child.get(), (opened.st_mode & 07777) | S_IRWXU);
    }
    emptyFolderAt(child.get());
  }
  return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

bool emptyFolderAt(int fd) {
  // fdopendir takes over the descriptor it is given, so it gets its own copy.
  UniqueFileDescriptor copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!copy.valid()) return false;
  DIR* stream = ::fdopendir(copy.get());
  if (stream == nullptr) return false;
  copy.release();
  ::rewinddir(stream);
  std::vector<std::string> names;
  for (const dirent* entry = ::readdir(stream); entry != nullptr; entry = ::readdir(stream)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(stream);
  bool removed = true;
  for (const std::string& name : names) {
    if (!removeEntryAt(fd, name)) removed = false;
  }
  return removed;
}

}  // namespace

PrivateFolder::~PrivateFolder() {
  if (!fd_.valid()) return;
  emptyFolderAt(fd_.get());
  // The name in the shared folder goes only while it is still this folder.
  const std::size_t slash = path_.rfind('/');
  const std::string parentPath = slash == 0 ? "/" : path_.substr(0, slash);
  const std::string name = path_.substr(slash + 1);
  UniqueFileDescriptor parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  struct stat mine {};
  struct stat named {};
  if (parent.valid() && ::fstat(fd_.get(), &mine) == 0 &&
      ::fstatat(parent.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      mine.st_dev == named.st_dev && mine.st_ino == named.st_ino) {
    ::unlinkat(parent.get(), name.c_str(), AT_REMOVEDIR);
  }
}

std::uint32_t PrivateFolder::create(const std::string& parent, const std::string& prefix) {
  if (fd_.valid() || parent.empty() || parent.back() != '/' || !isPlainName(prefix)) {
    return kErrorInvalidParameter;
  }
  std::string pattern = parent + prefix + "XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return windowsErrorForPath(errno, pattern);
  UniqueFileDescriptor fd(::open(pattern.c_str(), kOpenFolderFlags));
  if (!fd.valid()) return windowsErrorForPath(errno, pattern);
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return lastWindowsError();
  // What was opened may not be what mkdtemp made; such a thing is not ours to remove.
  if (!isOwnedPrivateFolder(status)) return kErrorAccessDenied;
  fd_ = std::move(fd);
  path_ = std::move(pattern);
  return 0;
}

std::uint32_t PrivateFolder::createChildFolder(const std::string& name) const {
  if (!fd_.valid() || !isPlainName(name)) return kErrorInvalidParameter;
  return ::mkdirat(fd_.get(), name.c_str(), 0700) == 0 ? 0 : lastWindowsError();
}

FileKind PrivateFolder::childKind(const std::string& name) const {
  struct stat status {};
  if (!fd_.valid() || !isPlainName(name) ||
      ::fstatat(fd_.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return FileKind::Missing;
  }
  if (S_ISDIR(status.st_mode)) return FileKind::Folder;
  if (S_ISREG(status.st_mode)) return FileKind::Regular;
  if (S_ISLNK(status.st_mode)) return FileKind::SymbolicLink;
  return FileKind::Other;
}

bool PrivateFolder::removeChildTree(const std::string& name) const {
  if (!fd_.valid() || !isPlainName(name)) return false;
  return removeEntryAt(fd_.get(), name);
}

}  // namespace platform
