// Listing the quarantine and putting a quarantined file back.
//
// The restored file is built unnamed (O_TMPFILE) in the original folder: content,
// owner, mode, fsync; only then is it linked under its name, and linkat never
// replaces an entry, so an existing file is never overwritten and no half-written
// file ever shows. Where the file system has no O_TMPFILE, the name is created with
// O_EXCL|O_NOFOLLOW and removed again (if still ours) when a later step fails.
#include "qelda/QeldaCleaner.h"

#include "qelda/QeldaFileChunks.h"
#include "qelda/QeldaNoFollowPath.h"
#include "qelda/QeldaSha256.h"

#include <fcntl.h>

#include <cerrno>

namespace qelda {
namespace {

struct Target {
  Fd file;
  bool named = false;  // created under its name already (no O_TMPFILE)
};

bool sameInode(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The original folder, resolved without following links, and still the one the
// record names.
int openRecordedFolder(const QuarantineRecord& record, Fd& folder, std::string& name) {
  std::string path;
  if (const int error = splitEntryPath(record.path, path, name)) return error;
  Fd opened;
  if (const int error = openFolderNoFollow(path, opened)) return error;
  struct stat info {};
  if (::fstat(opened.get(), &info) != 0) return errno;
  if (info.st_dev != record.parentDevice || info.st_ino != record.parentInode) return ESTALE;
  folder = std::move(opened);
  return 0;
}

int createTarget(int folder, const std::string& name, Target& target) {
  target.file.reset(::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (target.file.valid()) return 0;
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
  target.file.reset(::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!target.file.valid()) return errno;
  target.named = true;
  return 0;
}

// Content (checked against the record's digest), then owner, then mode: a change
// of owner clears the set-id bits.
int fillTarget(int data, const QuarantineRecord& record, int target) {
  Sha256 hash;
  const int error = readInChunks(data, record.size, {}, [&](std::uint64_t offset, const std::uint8_t* bytes, std::size_t length) {
    if (bytes == nullptr) {
      hash.updateZeros(length);
      return 0;
    }
    hash.update(bytes, length);
    return writeFullyAt(target, bytes, length, offset);
  });
  if (error != 0) return error == ESTALE ? EBADMSG : error;
  Sha256Digest digest{};
  if (!hash.finish(digest)) return ENOMEM;
  if (digest != record.sha256) return EBADMSG;
  if (::ftruncate(target, static_cast<off_t>(record.size)) != 0) return errno;
  if (::fchown(target, record.uid, record.gid) != 0) return errno;
  if (::fchmod(target, record.mode) != 0) return errno;
  return ::fsync(target) == 0 ? 0 : errno;
}

int linkTarget(const Target& target, int folder, const std::string& name) {
  if (target.named) return 0;
  const std::string self = "/proc/self/fd/" + std::to_string(target.file.get());
  if (::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
  if (errno != ENOENT) return errno;
  return ::linkat(target.file.get(), "", folder, name.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
}

void removeNamedTarget(const Target& target, int folder, const std::string& name) {
  struct stat ours {};
  struct stat named {};
  if (target.named && ::fstat(target.file.get(), &ours) == 0 &&
      ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && sameInode(ours, named)) {
    ::unlinkat(folder, name.c_str(), 0);
  }
}

int restoreInto(const QuarantineRecord& record, int data, int folder, const std::string& name) {
  Target target;
  if (const int error = createTarget(folder, name, target)) return error;
  int error = fillTarget(data, record, target.file.get());
  // The folder may have been swapped while the content was written.
  Fd again;
  std::string sameName;
  if (error == 0 && openRecordedFolder(record, again, sameName) != 0) error = ESTALE;
  if (error == 0) error = linkTarget(target, folder, name);
  if (error != 0) {
    removeNamedTarget(target, folder, name);
    return error;
  }
  // Best effort: the file is in place either way.
  const Fd readable(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (readable.valid()) ::fsync(readable.get());
  return 0;
}

}  // namespace

int listQuarantine(std::vector<QuarantinedItem>& items, const QuarantineOptions& options, std::size_t* damaged) {
  items.clear();
  if (damaged != nullptr) *damaged = 0;
  QuarantineStore store;
  if (const int error = QuarantineStore::open(options, false, store)) return error == ENOENT ? 0 : error;
  std::vector<std::string> ids;
  if (const int error = store.listIds(ids)) return error;
  for (const std::string& id : ids) {
    QuarantinedItem item{id, {}};
    if (store.readRecord(id, item.record) == 0) {
      items.push_back(std::move(item));
    } else if (damaged != nullptr) {
      ++*damaged;
    }
  }
  return 0;
}

int restoreFromQuarantine(const std::string& id, const QuarantineOptions& options) {
  if (!validQuarantineId(id)) return EINVAL;
  QuarantineStore store;
  if (const int error = QuarantineStore::open(options, false, store)) return error;
  QuarantineRecord record;
  if (const int error = store.readRecord(id, record)) return error;
  // A copy kept for analysis has no place it was taken from; its path is a name.
  if (!record.restorable) return ENOTSUP;
  Fd data;
  struct stat info {};
  if (const int error = store.openData(id, data, info)) return error;
  if (static_cast<std::uint64_t>(info.st_size) != record.size) return EBADMSG;
  Fd folder;
  std::string name;
  if (const int error = openRecordedFolder(record, folder, name)) return error;
  if (const int error = restoreInto(record, data.get(), folder.get(), name)) return error;
  store.discard(id);
  return 0;
}

}  // namespace qelda
