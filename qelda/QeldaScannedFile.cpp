#include "qelda/QeldaScannedFile.h"

#include "qelda/QeldaFileChunks.h"
#include "qelda/QeldaNoFollowPath.h"
#include "qelda/QeldaProcessHandle.h"
#include "qelda/QeldaSha256.h"

#include <fcntl.h>

#include <cerrno>

namespace qelda {
namespace {

bool sameInode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

int typeError(mode_t mode) {
  if (S_ISREG(mode)) return 0;
  if (S_ISLNK(mode)) return ELOOP;
  return S_ISDIR(mode) ? EISDIR : ENXIO;
}

// Opens for reading the inode that `entry` (an O_PATH descriptor, already checked
// to be a regular file) refers to. The reopen goes through the descriptor's
// /proc/self/fd link, the one magic link followed on purpose: it cannot land
// anywhere but that inode, whatever happens to the name meanwhile. Without /proc
// the name is opened again (non-blocking, so a FIFO swapped in cannot hang us)
// and must still be the inode checked.
int reopenForReading(int entry, int parent, const std::string& name, const struct stat& checked, Fd& file,
                     struct stat& opened) {
  const std::string link = "/proc/self/fd/" + std::to_string(entry);
  Fd reopened(::open(link.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC));
  if (!reopened.valid() && errno == ENOENT) {
    reopened.reset(::openat(parent, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  }
  if (!reopened.valid()) return errno;
  if (::fstat(reopened.get(), &opened) != 0) return errno;
  if (!sameInode(opened, checked)) return ESTALE;
  file = std::move(reopened);
  return 0;
}

// The entry through its folder, which stays open: the way for kernel handles,
// for paths in another process's root and where openat2 is missing.
int locateThroughFolder(const std::string& folder, const std::string& name, bool kernelHandle, Fd& parent,
                        Fd& entry) {
  if (const int error = openFolderNoFollow(folder, parent)) return error;
  entry.reset(::openat(parent.get(), name.c_str(), O_PATH | O_CLOEXEC | (kernelHandle ? 0 : O_NOFOLLOW)));
  return entry.valid() ? 0 : errno;
}

// The folder of an entry located in one resolution, opened when the content is
// wanted. Its name must still lead to the located inode.
int openParentOf(ScannedFile& file) {
  std::string folder;
  std::string name;
  if (const int error = splitEntryPath(file.path, folder, name)) return error;
  Fd parent;
  if (const int error = openFolderNoFollow(folder, parent)) return error;
  struct stat named {};
  if (::fstatat(parent.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? ESTALE : errno;
  }
  if (!sameInode(named, file.located)) return ESTALE;
  file.parent = std::move(parent);
  return 0;
}

}  // namespace

int locateScannedFile(const std::string& path, ScannedFile& out) {
  std::string folder;
  std::string name;
  if (const int error = splitEntryPath(path, folder, name)) return error;
  const bool kernelHandle = isMappedFileHandle(path);
  Fd parent;
  Fd entry;
  // Most objects are located in one resolution; their folder is opened only if
  // their content is read.
  int error = kernelHandle ? EXDEV : openEntryNoFollow(path, entry);
  if (error == EXDEV || error == ENOSYS) error = locateThroughFolder(folder, name, kernelHandle, parent, entry);
  if (error != 0) return error;
  struct stat located {};
  if (::fstat(entry.get(), &located) != 0) return errno;
  if ((error = typeError(located.st_mode)) != 0) return error;
  out.path = path;
  out.parent = std::move(parent);
  out.name = std::move(name);
  out.entry = std::move(entry);
  out.located = located;
  out.kernelHandle = kernelHandle;
  return 0;
}

int openLocatedFile(ScannedFile& out) {
  if (!out.parent.valid()) {
    if (const int error = openParentOf(out)) return error;
  }
  Fd file;
  struct stat opened {};
  if (const int error = reopenForReading(out.entry.get(), out.parent.get(), out.name, out.located, file, opened)) {
    return error;
  }
  out.file = std::move(file);
  out.opened = opened;
  return 0;
}

int openScannedFile(const std::string& path, ScannedFile& out) {
  ScannedFile located;
  if (const int error = locateScannedFile(path, located)) return error;
  if (const int error = openLocatedFile(located)) return error;
  out = std::move(located);
  return 0;
}

bool unchangedSinceOpen(const ScannedFile& file) {
  struct stat now {};
  if (::fstat(file.file.get(), &now) != 0) return false;
  const struct stat& before = file.opened;
  if (!sameInode(now, before) || now.st_size != before.st_size || !sameTime(now.st_mtim, before.st_mtim) ||
      !sameTime(now.st_ctim, before.st_ctim)) {
    return false;
  }
  struct stat named {};
  // A handle's entry is the link; what it leads to must still be the inode.
  const int follow = file.kernelHandle ? 0 : AT_SYMLINK_NOFOLLOW;
  return ::fstatat(file.parent.get(), file.name.c_str(), &named, follow) == 0 && sameInode(named, before);
}

int checkStillInPlace(const ScannedFile& file) {
  if (!unchangedSinceOpen(file)) return ESTALE;
  std::string folder;
  std::string name;
  Fd again;
  struct stat resolved {};
  struct stat held {};
  if (splitEntryPath(file.path, folder, name) != 0 || name != file.name || openFolderNoFollow(folder, again) != 0 ||
      ::fstat(again.get(), &resolved) != 0 || ::fstat(file.parent.get(), &held) != 0 || !sameInode(resolved, held)) {
    return ESTALE;
  }
  return 0;
}

int digestScannedFile(const ScannedFile& file, const KeepGoing& keepGoing, std::array<std::uint8_t, 32>& sha256) {
  Sha256 hash;
  const int error = readInChunks(file.file.get(), static_cast<std::uint64_t>(file.opened.st_size), keepGoing,
                                 [&hash](std::uint64_t, const std::uint8_t* data, std::size_t length) {
                                   data == nullptr ? hash.updateZeros(length) : hash.update(data, length);
                                   return 0;
                                 });
  if (error != 0) return error;
  if (!unchangedSinceOpen(file)) return ESTALE;
  return hash.finish(sha256) ? 0 : ENOMEM;
}

}  // namespace qelda
