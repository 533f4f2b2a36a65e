#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ErrorCodes.h"

namespace platform {

namespace {

FileKind kindOf(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::Regular;
  if (S_ISDIR(mode)) return FileKind::Folder;
  if (S_ISLNK(mode)) return FileKind::SymbolicLink;
  return FileKind::Other;
}

// Writes all of `bytes`, going on after short writes and interruptions.
std::uint32_t writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return lastWindowsError();
    }
    done += static_cast<std::size_t>(written);
  }
  return 0;
}

}  // namespace

std::size_t maximumPathLength() { return PATH_MAX - 1; }

FileStatus fileStatus(const std::string& path, LinkPolicy links) {
  struct stat status {};
  const int rc = links == LinkPolicy::Follow ? ::stat(path.c_str(), &status)
                                             : ::lstat(path.c_str(), &status);
  FileStatus result;
  if (rc != 0) {
    result.error = windowsErrorForPath(errno, path);
    return result;
  }
  result.kind = kindOf(status.st_mode);
  result.size = static_cast<std::uint64_t>(status.st_size);
  return result;
}

std::uint32_t createFolder(const std::string& path) {
  return ::mkdir(path.c_str(), 0777) == 0 ? 0 : windowsErrorForPath(errno, path);
}

std::uint32_t removeFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? 0 : windowsErrorForPath(errno, path);
}

std::uint32_t removeEmptyFolder(const std::string& path) {
  return ::rmdir(path.c_str()) == 0 ? 0 : windowsErrorForPath(errno, path);
}

std::uint32_t currentFolder(std::string& folder) {
  std::string buffer(PATH_MAX, '\0');
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) return lastWindowsError();
  buffer.resize(buffer.find('\0'));
  folder = std::move(buffer);
  return 0;
}

std::uint32_t readTextFile(const std::string& path, std::string& content) {
  ReadableFile file;
  if (const std::uint32_t error = file.open(path); error != 0) return error;
  std::string bytes(static_cast<std::size_t>(file.size()), '\0');
  std::size_t got = 0;
  if (const std::uint32_t error = file.read(bytes.data(), bytes.size(), got); error != 0) {
    return error;
  }
  bytes.resize(got);
  content = std::move(bytes);
  return 0;
}

std::uint32_t appendToFile(const std::string& path, const std::string& bytes) {
  UniqueFileDescriptor fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.valid()) return windowsErrorForPath(errno, path);
  // One write: with O_APPEND the record lands whole at the end of the file.
  const ssize_t written = ::write(fd.get(), bytes.data(), bytes.size());
  if (written < 0) return lastWindowsError();
  if (static_cast<std::size_t>(written) != bytes.size()) return kErrorDiskFull;
  return 0;
}

std::uint32_t replaceFile(const std::string& path, const std::string& bytes) {
  const std::string temporary = path + ".new";
  UniqueFileDescriptor fd(
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd.valid()) return windowsErrorForPath(errno, temporary);
  std::uint32_t error = writeAll(fd.get(), bytes);
  if (error == 0 && ::fsync(fd.get()) != 0) error = lastWindowsError();
  fd.reset();
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = lastWindowsError();
  if (error != 0) ::unlink(temporary.c_str());
  return error;
}

std::uint32_t ReadableFile::open(const std::string& path) {
  // Non-blocking so that a pipe in the file's place cannot hang the caller.
  UniqueFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return windowsErrorForPath(errno, path);
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return lastWindowsError();
  if (!S_ISREG(status.st_mode)) return kErrorFileNotFound;
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  size_ = static_cast<std::uint64_t>(status.st_size);
  fd_ = std::move(fd);
  return 0;
}

std::uint32_t ReadableFile::read(void* buffer, std::size_t count, std::size_t& got) {
  got = 0;
  auto* bytes = static_cast<char*>(buffer);
  while (got < count) {
    const ssize_t n = ::read(fd_.get(), bytes + got, count - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return lastWindowsError();
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return 0;
}

std::uint32_t OpenFolder::open(const std::string& path) {
  UniqueFileDescriptor fd(
      ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return windowsErrorForPath(errno, path);
  fd_ = std::move(fd);
  return 0;
}

std::uint32_t OpenFolder::openChild(const std::string& name, OpenFolder& child) const {
  UniqueFileDescriptor fd(
      ::openat(fd_.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return lastWindowsError();
  child.fd_ = std::move(fd);
  return 0;
}

std::uint32_t OpenFolder::openOrCreateChild(const std::string& name, OpenFolder& child) const {
  if (::mkdirat(fd_.get(), name.c_str(), 0755) != 0 && errno != EEXIST) return lastWindowsError();
  return openChild(name, child);
}

std::uint32_t OpenFolder::openChildFile(const std::string& name, bool truncate, UniqueFileDescriptor& file) const {
  const int flags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (truncate ? O_TRUNC : 0);
  // O_TRUNC must not reach a device or pipe: those are refused before emptying.
  UniqueFileDescriptor fd(::openat(fd_.get(), name.c_str(), flags & ~O_TRUNC, 0644));
  if (!fd.valid()) return lastWindowsError();
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return lastWindowsError();
  if (!S_ISREG(status.st_mode)) return kErrorAccessDenied;
  if (truncate && ::ftruncate(fd.get(), 0) != 0) return lastWindowsError();
  const int mode = ::fcntl(fd.get(), F_GETFL);
  if (mode >= 0) ::fcntl(fd.get(), F_SETFL, mode & ~O_NONBLOCK);
  file = std::move(fd);
  return 0;
}

std::uint32_t OpenFolder::openChildFileForReading(const std::string& name, UniqueFileDescriptor& file) const {
  UniqueFileDescriptor fd(::openat(fd_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return errno == ENOENT ? kErrorFileNotFound : lastWindowsError();
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return lastWindowsError();
  if (!S_ISREG(status.st_mode)) return kErrorAccessDenied;
  file = std::move(fd);
  return 0;
}

std::uint32_t OpenFolder::list(std::vector<FolderEntry>& entries) const {
  // fdopendir takes over the descriptor it is given, so it gets its own copy;
  // rewinding makes a second listing of the same folder start at the top.
  UniqueFileDescriptor copy(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
  if (!copy.valid()) return lastWindowsError();
  DIR* stream = ::fdopendir(copy.get());
  if (stream == nullptr) return lastWindowsError();
  copy.release();
  ::rewinddir(stream);
  entries.clear();
  std::uint32_t error = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      error = windowsErrorFromErrno(errno);
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat status {};
    FolderEntry item{name, FileKind::Other};
    if (::fstatat(fd_.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
      item.kind = kindOf(status.st_mode);
    } else if (errno == ENOENT) {
      continue;  // went away while we listed
    }
    entries.push_back(std::move(item));
  }
  ::closedir(stream);
  return error;
}

std::uint32_t OpenFolder::removeEntry(const std::string& name, bool asFolder) const {
  const int flags = asFolder ? AT_REMOVEDIR : 0;
  if (::unlinkat(fd_.get(), name.c_str(), flags) == 0) return 0;
  if (errno != EACCES || makeWritable() != 0) return lastWindowsError();
  return ::unlinkat(fd_.get(), name.c_str(), flags) == 0 ? 0 : lastWindowsError();
}

bool OpenFolder::isFileSystemRoot() const { return isSameFolderAs("/"); }

bool OpenFolder::isSameFolderAs(const std::string& path) const {
  struct stat mine {};
  struct stat other {};
  if (::fstat(fd_.get(), &mine) != 0 || ::stat(path.c_str(), &other) != 0) return false;
  return mine.st_dev == other.st_dev && mine.st_ino == other.st_ino;
}

std::uint32_t OpenFolder::makeWritable() const {
  struct stat status {};
  if (::fstat(fd_.get(), &status) != 0) return lastWindowsError();
  const mode_t wanted = (status.st_mode & 07777) | S_IRWXU;
  return ::fchmod(fd_.get(), wanted) == 0 ? 0 : lastWindowsError();
}

}  // namespace platform
