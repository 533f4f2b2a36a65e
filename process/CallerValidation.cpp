#include "process/CallerValidation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/ModulePath.h"
#include "platform/UniqueFileDescriptor.h"
#include "process/CodeSignature.h"

namespace vxprocess {
namespace {

bool ownedByTrustedUser(const struct stat& status, uid_t user) { return status.st_uid == 0 || status.st_uid == user; }

bool onlyItsOwnerWrites(const struct stat& status) { return (status.st_mode & (S_IWGRP | S_IWOTH)) == 0; }

// Every folder from the file's own up to the root.
bool foldersCannotBeChangedByOthers(const std::string& path, uid_t user) {
  for (std::string folder = platform::folderOfPath(path);; folder = platform::folderOfPath(folder)) {
    struct stat status {};
    const std::string name = folder.empty() ? "/" : folder;
    if (::lstat(name.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return false;
    if (!ownedByTrustedUser(status, user)) return false;
    if (!onlyItsOwnerWrites(status) && (status.st_mode & S_ISVTX) == 0) return false;
    if (folder.empty()) return true;
  }
}

bool installedByTrustedUser(int descriptor, const std::string& path, uid_t user) {
  struct stat running {};
  struct stat named {};
  if (path.empty() || path.front() != '/') return false;
  if (::fstat(descriptor, &running) != 0 || ::lstat(path.c_str(), &named) != 0) return false;
  if (!S_ISREG(named.st_mode) || named.st_dev != running.st_dev || named.st_ino != running.st_ino) return false;
  return ownedByTrustedUser(running, user) && onlyItsOwnerWrites(running) &&
         foldersCannotBeChangedByOthers(path, user);
}

}  // namespace

bool executablePassesCallerValidation(int descriptor, const std::string& path, uid_t user) {
  return installedByTrustedUser(descriptor, path, user) || verifyCodeSignature(descriptor);
}

bool callingProcessPassesValidation() {
  static const bool passed = [] {
    // /proc/self/exe opens the file the process runs, even one replaced or
    // deleted since it started.
    const platform::UniqueFileDescriptor executable(::open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
    std::string path;
    if (!executable.valid() || platform::hostExecutablePath(path) != 0) return false;
    return executablePassesCallerValidation(executable.get(), path, ::geteuid());
  }();
  return passed;
}

}  // namespace vxprocess
