#include "qelda/QeldaTrustedDataFile.h"

#include "engine/VxAVEngineABI.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace qelda {
namespace {

std::uint16_t reasonOf(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return AV_DATA_FILE_MISSING;
    case ELOOP:
    case ENXIO:
    case EISDIR: return AV_DATA_FILE_NOT_REGULAR;
    default: return AV_DATA_FILE_UNREADABLE;
  }
}

bool ownedByUs(const struct stat& status) { return status.st_uid == 0 || status.st_uid == ::geteuid(); }

bool writableByOthers(const struct stat& status) { return (status.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// A folder on the way, judged with the entry below it.
std::uint16_t folderReason(const struct stat& folder, const struct stat& below) {
  if (!ownedByUs(folder)) return AV_DATA_FILE_FOREIGN_OWNER;
  if (writableByOthers(folder) && ((folder.st_mode & S_ISVTX) == 0 || !ownedByUs(below))) {
    return AV_DATA_FILE_WRITABLE_BY_OTHERS;
  }
  return 0;
}

// The entry `name` of `at`, opened O_PATH without following it, and its status.
std::uint16_t openEntry(int at, const std::string& name, Fd& entry, struct stat& status) {
  entry.reset(::openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!entry.valid()) return reasonOf(errno);
  if (::fstat(entry.get(), &status) != 0) return AV_DATA_FILE_UNREADABLE;
  return S_ISLNK(status.st_mode) ? AV_DATA_FILE_NOT_REGULAR : 0;
}

}  // namespace

std::uint16_t openTrustedDataFile(const std::string& path, Fd& file, struct stat& opened) {
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos) return AV_DATA_FILE_MISSING;
  std::vector<std::string> names;
  for (std::size_t start = 1; start <= path.size();) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    std::string name = path.substr(start, end - start);
    if (name == "..") return AV_DATA_FILE_NOT_REGULAR;
    if (!name.empty() && name != ".") names.push_back(std::move(name));
    start = end + 1;
  }
  if (names.empty()) return AV_DATA_FILE_NOT_REGULAR;

  Fd current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat currentStatus {};
  if (!current.valid() || ::fstat(current.get(), &currentStatus) != 0) return AV_DATA_FILE_UNREADABLE;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const bool last = i + 1 == names.size();
    Fd next;
    struct stat nextStatus {};
    if (const std::uint16_t reason = openEntry(current.get(), names[i], next, nextStatus)) return reason;
    if (last ? !S_ISREG(nextStatus.st_mode) : !S_ISDIR(nextStatus.st_mode)) {
      return last ? AV_DATA_FILE_NOT_REGULAR : AV_DATA_FILE_MISSING;
    }
    if (const std::uint16_t reason = folderReason(currentStatus, nextStatus)) return reason;
    if (last) {
      if (!ownedByUs(nextStatus)) return AV_DATA_FILE_FOREIGN_OWNER;
      if (writableByOthers(nextStatus)) return AV_DATA_FILE_WRITABLE_BY_OTHERS;
      // Opened for reading only now that it is known to be a regular file, and
      // it must still be the inode checked.
      file.reset(::openat(current.get(), names[i].c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
      if (!file.valid()) return reasonOf(errno);
      if (::fstat(file.get(), &opened) != 0) return AV_DATA_FILE_UNREADABLE;
      if (opened.st_dev != nextStatus.st_dev || opened.st_ino != nextStatus.st_ino || !S_ISREG(opened.st_mode)) {
        return AV_DATA_FILE_NOT_REGULAR;
      }
      if (!ownedByUs(opened)) return AV_DATA_FILE_FOREIGN_OWNER;
      if (writableByOthers(opened)) return AV_DATA_FILE_WRITABLE_BY_OTHERS;
      return 0;
    }
    current = std::move(next);
    currentStatus = nextStatus;
  }
  return AV_DATA_FILE_MISSING;
}

}  // namespace qelda
