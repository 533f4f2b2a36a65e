#include "platform/TrustedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/ErrorCodes.h"

namespace platform {
namespace {

bool ownedByUs(const struct stat& status) { return status.st_uid == 0 || status.st_uid == ::geteuid(); }

bool writableByOthers(const struct stat& status) { return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

TrustCheck refusal(TrustFault fault, std::string offender, int error = 0) {
  return TrustCheck{fault, std::move(offender), error};
}

TrustCheck failure(const std::string& offender, int error) {
  return refusal(error == ENOENT ? TrustFault::Missing : TrustFault::Failed, offender, error);
}

// The components of an absolute path; "." dropped, ".." refused (a walk that
// goes up again would check folders that are not above the file).
bool splitComponents(const std::string& path, std::vector<std::string>& components) {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) return false;
  for (std::size_t start = 1; start <= path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    std::string name = path.substr(start, end - start);
    if (name == "..") return false;
    if (!name.empty() && name != ".") components.push_back(std::move(name));
    start = end + 1;
  }
  return true;
}

std::string joined(const std::vector<std::string>& components, std::size_t count) {
  std::string path;
  for (std::size_t i = 0; i < count; ++i) path += "/" + components[i];
  return path.empty() ? "/" : path;
}

// A folder on the way may be written by others only when it is sticky and the
// entry below it is ours: then nobody else can rename or remove that entry.
TrustCheck checkFolder(const struct stat& folder, const struct stat& below, const std::string& path) {
  if (!ownedByUs(folder)) return refusal(TrustFault::OwnedByAnother, path);
  if (writableByOthers(folder) && !((folder.st_mode & S_ISVTX) != 0 && ownedByUs(below))) {
    return refusal(TrustFault::WritableByOthers, path);
  }
  return {};
}

TrustCheck checkLeaf(const struct stat& status, const std::string& path, bool folder) {
  if (folder ? !S_ISDIR(status.st_mode) : !S_ISREG(status.st_mode)) return refusal(TrustFault::WrongType, path);
  if (!ownedByUs(status)) return refusal(TrustFault::OwnedByAnother, path);
  if (writableByOthers(status)) return refusal(TrustFault::WritableByOthers, path);
  return {};
}

// One step of the walk: the entry `name` of `at`, as O_PATH|O_NOFOLLOW, so that a
// link is seen as what it is.
TrustCheck openStep(int at, const std::string& name, const std::string& path, UniqueFileDescriptor& step,
                    struct stat& status) {
  step = UniqueFileDescriptor(::openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!step.valid()) return failure(path, errno);
  if (::fstat(step.get(), &status) != 0) return failure(path, errno);
  if (S_ISLNK(status.st_mode)) return refusal(TrustFault::Link, path);
  return {};
}

// Walks to the folder holding the last component, checking each folder against
// the entry below it; `leaf` is then that folder and `leafStatus` its status.
TrustCheck walkFolders(const std::vector<std::string>& components, std::size_t folders, UniqueFileDescriptor& leaf,
                       struct stat& leafStatus) {
  UniqueFileDescriptor current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!current.valid()) return failure("/", errno);
  struct stat currentStatus {};
  if (::fstat(current.get(), &currentStatus) != 0) return failure("/", errno);
  for (std::size_t i = 0; i < folders; ++i) {
    const std::string path = joined(components, i + 1);
    UniqueFileDescriptor next;
    struct stat nextStatus {};
    if (auto step = openStep(current.get(), components[i], path, next, nextStatus); !step.ok()) return step;
    if (!S_ISDIR(nextStatus.st_mode)) return refusal(TrustFault::WrongType, path);
    if (auto checked = checkFolder(currentStatus, nextStatus, joined(components, i)); !checked.ok()) return checked;
    current = std::move(next);
    currentStatus = nextStatus;
  }
  leaf = std::move(current);
  leafStatus = currentStatus;
  return {};
}

}  // namespace

std::string TrustCheck::describe() const {
  const char* why = "";
  switch (fault) {
    case TrustFault::None: return offender + ": trusted";
    case TrustFault::Link: why = "reached through a symbolic link"; break;
    case TrustFault::OwnedByAnother: why = "owned by another user"; break;
    case TrustFault::WritableByOthers: why = "writable by others"; break;
    case TrustFault::WrongType: why = "not a regular file or folder as expected"; break;
    case TrustFault::Missing: why = "missing"; break;
    case TrustFault::Failed: return offender + ": " + std::strerror(error);
  }
  return offender + ": " + why;
}

std::uint32_t TrustCheck::windowsError() const {
  switch (fault) {
    case TrustFault::None: return 0;
    case TrustFault::Missing: return kErrorFileNotFound;
    case TrustFault::Failed: return windowsErrorFromErrno(error);
    default: return kErrorAccessDenied;
  }
}

TrustCheck openTrustedFile(const std::string& path, int flags, mode_t mode, UniqueFileDescriptor& file) {
  std::vector<std::string> components;
  if (!splitComponents(path, components) || components.empty()) return refusal(TrustFault::Failed, path, EINVAL);
  UniqueFileDescriptor folder;
  struct stat folderStatus {};
  if (auto walked = walkFolders(components, components.size() - 1, folder, folderStatus); !walked.ok()) return walked;
  // The entry is judged before it is opened, so that nothing is opened (and, with
  // O_CREAT, nothing made) in a folder others could write, and no device or FIFO
  // is opened at all; the open must then reach the inode judged.
  const std::string& name = components.back();
  const std::string folderPath = joined(components, components.size() - 1);
  struct stat entry {};
  const bool existed = ::fstatat(folder.get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0;
  if (!existed && errno != ENOENT) return failure(path, errno);
  if (existed && S_ISLNK(entry.st_mode)) return refusal(TrustFault::Link, path);
  if (existed) {
    if (auto checked = checkLeaf(entry, path, false); !checked.ok()) return checked;
  } else {
    // What O_CREAT would make belongs to this user.
    entry.st_uid = ::geteuid();
  }
  if (auto checked = checkFolder(folderStatus, entry, folderPath); !checked.ok()) return checked;
  UniqueFileDescriptor opened(
      ::openat(folder.get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, mode));
  if (!opened.valid()) {
    const int error = errno;
    return error == ELOOP ? refusal(TrustFault::Link, path) : failure(path, error);
  }
  struct stat status {};
  if (::fstat(opened.get(), &status) != 0) return failure(path, errno);
  if (existed && (status.st_dev != entry.st_dev || status.st_ino != entry.st_ino)) {
    return refusal(TrustFault::WrongType, path);
  }
  if (auto checked = checkLeaf(status, path, false); !checked.ok()) return checked;
  if (auto checked = checkFolder(folderStatus, status, folderPath); !checked.ok()) return checked;
  const int current = ::fcntl(opened.get(), F_GETFL);
  if (current < 0 || ::fcntl(opened.get(), F_SETFL, current & ~O_NONBLOCK) != 0) return failure(path, errno);
  file = std::move(opened);
  return {};
}

TrustCheck openTrustedFolder(const std::string& path, UniqueFileDescriptor& folder) {
  std::vector<std::string> components;
  if (!splitComponents(path, components)) return refusal(TrustFault::Failed, path, EINVAL);
  UniqueFileDescriptor above;
  struct stat aboveStatus {};
  if (components.empty()) {
    // "/" itself: nothing above it, only its own status counts.
    UniqueFileDescriptor root(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat status {};
    if (!root.valid() || ::fstat(root.get(), &status) != 0) return failure("/", errno);
    if (auto checked = checkLeaf(status, "/", true); !checked.ok()) return checked;
    folder = std::move(root);
    return {};
  }
  if (auto walked = walkFolders(components, components.size() - 1, above, aboveStatus); !walked.ok()) return walked;
  UniqueFileDescriptor opened(
      ::openat(above.get(), components.back().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!opened.valid()) {
    const int error = errno;
    if (error == ENOTDIR) {
      // O_DIRECTORY|O_NOFOLLOW on a link fails with ENOTDIR: tell a link apart.
      struct stat entry {};
      if (::fstatat(above.get(), components.back().c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(entry.st_mode)) {
        return refusal(TrustFault::Link, path);
      }
      return refusal(TrustFault::WrongType, path);
    }
    return error == ELOOP ? refusal(TrustFault::Link, path) : failure(path, error);
  }
  struct stat status {};
  if (::fstat(opened.get(), &status) != 0) return failure(path, errno);
  if (auto checked = checkLeaf(status, path, true); !checked.ok()) return checked;
  if (auto checked = checkFolder(aboveStatus, status, joined(components, components.size() - 1)); !checked.ok()) {
    return checked;
  }
  folder = std::move(opened);
  return {};
}

}  // namespace platform
