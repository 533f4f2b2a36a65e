// Delete and quarantine of a scanned file.
//
// Linux has no "unlink if this inode", so the check that the entry is still the
// scanned file and the unlink are two calls; the check comes last, right before
// the unlink, and the unlink is relative to the held folder, so a path swapped
// meanwhile is never followed. Who could still rename another file over the entry
// between the two calls needs write access to that folder (in a sticky folder,
// only over their own files), and could remove that file themselves.
#include "qelda/QeldaCleaner.h"

#include "qelda/QeldaFileChunks.h"
#include "qelda/QeldaMountReach.h"
#include "qelda/QeldaSha256.h"

#include <fcntl.h>

#include <cerrno>
#include <ctime>
#include <string>
#include <vector>

namespace qelda {
namespace {

// Copies the scanned bytes into `copy`, holes left unwritten, and hashes what was
// written.
int copyScanned(const ScannedFile& file, int copy, const KeepGoing& keepGoing, Sha256Digest& written) {
  Sha256 hash;
  const auto size = static_cast<std::uint64_t>(file.opened.st_size);
  const int error = readInChunks(file.file.get(), size, keepGoing,
                                 [&](std::uint64_t offset, const std::uint8_t* data, std::size_t length) {
                                   if (data == nullptr) {
                                     hash.updateZeros(length);
                                     return 0;
                                   }
                                   const int failed = writeFullyAt(copy, data, length, offset);
                                   if (failed == 0) hash.update(data, length);
                                   return failed;
                                 });
  if (error != 0) return error;
  if (::ftruncate(copy, static_cast<off_t>(size)) != 0) return errno;
  return hash.finish(written) ? 0 : ENOMEM;
}

QuarantineRecord recordOf(const ScannedFile& file, const QuarantineEntry& entry, const struct stat& folder) {
  QuarantineRecord record;
  // A mapped inode's handle names an address range of some process, which means
  // nothing later; the name the module was reported under does.
  record.path = file.kernelHandle && !entry.reportName.empty() ? entry.reportName : file.path;
  record.restorable = !file.kernelHandle;
  record.detection = entry.detection;
  record.time = static_cast<std::int64_t>(std::time(nullptr));
  record.sha256 = entry.sha256;
  record.size = static_cast<std::uint64_t>(file.opened.st_size);
  record.uid = file.opened.st_uid;
  record.gid = file.opened.st_gid;
  record.mode = file.opened.st_mode & 07777;
  record.parentDevice = folder.st_dev;
  record.parentInode = folder.st_ino;
  return record;
}

// Another hard link would keep the content after the unlink: nothing is
// removed then. 0 or EMLINK.
int refuseOtherLinks(const ScannedFile& file) {
  struct stat now {};
  if (::fstat(file.file.get(), &now) != 0) return errno;
  return now.st_nlink > 1 ? EMLINK : 0;
}

// Unlinks the scanned entry; `removed` says whether the name is gone, which it
// may be although the result is EMLINK: a link made between the check and the
// unlink keeps the content, and the truth is that it was not cleaned.
int removeEntry(const ScannedFile& file, bool& removed) {
  removed = false;
  if (const int error = checkStillInPlace(file)) return error;
  // Deleted, anonymous or replaced: the mapped inode has no name of its own.
  if (file.kernelHandle) return EPERM;
  if (const int error = refuseOtherLinks(file)) return error;
  if (::unlinkat(file.parent.get(), file.name.c_str(), 0) != 0) return errno;
  removed = true;
  struct stat after {};
  if (::fstat(file.file.get(), &after) != 0) return errno;
  if (after.st_nlink != 0) return EMLINK;
  // No name is left, but a bind mount of the file (a container's, in a namespace
  // of its own) would still serve the content under its mount point. Such a mount
  // is only recognisable once the name is gone, when the kernel marks its root
  // deleted.
  return confirmNoMountServes(file.file.get());
}

// Everything after the quarantine's data file exists; the caller discards the
// entry when this fails, unless what it holds is all that is left of a name.
int fillAndRemove(const ScannedFile& file, const QuarantineEntry& entry, const KeepGoing& keepGoing,
                  const QuarantineStore& store, const std::string& id, int copy, bool& removed) {
  Sha256Digest written{};
  if (const int error = copyScanned(file, copy, keepGoing, written)) return error;
  // Grown, shrunk, rewritten or renamed over during the copy: what was copied is
  // not what was scanned, and the name may now be someone else's file.
  if (!unchangedSinceOpen(file) || written != entry.sha256) return ESTALE;
  if (::fsync(copy) != 0) return errno;
  struct stat folder {};
  if (::fstat(file.parent.get(), &folder) != 0) return errno;
  if (const int error = store.writeRecord(id, recordOf(file, entry, folder))) return error;
  return removeEntry(file, removed);
}

// An entry of the quarantine that already holds this content for this file: the
// same digest and original path, or, for a mapped inode (which has no path of
// its own), the same digest; its data must be there whole.
bool holdsAlready(const QuarantineStore& store, const ScannedFile& file, const Sha256Digest& sha256) {
  std::vector<std::string> ids;
  if (store.listIds(ids) != 0) return false;
  for (const std::string& id : ids) {
    QuarantineRecord record;
    if (store.readRecord(id, record) != 0 || record.sha256 != sha256) continue;
    if (!file.kernelHandle && (!record.restorable || record.path != file.path)) continue;
    Fd data;
    struct stat info {};
    if (store.openData(id, data, info) == 0 && static_cast<std::uint64_t>(info.st_size) == record.size) return true;
  }
  return false;
}

}  // namespace

int deleteScannedFile(const ScannedFile& file) {
  bool removed = false;
  return removeEntry(file, removed);
}

int quarantineScannedFile(const ScannedFile& file, const QuarantineEntry& entry, const KeepGoing& keepGoing,
                          const QuarantineOptions& options) {
  if (const int error = checkStillInPlace(file)) return error;
  if (!file.kernelHandle) {
    if (const int error = refuseOtherLinks(file)) return error;
  }
  QuarantineStore store;
  if (const int error = QuarantineStore::open(options, true, store)) return error;
  bool removed = false;
  if (holdsAlready(store, file, entry.sha256)) return file.kernelHandle ? EPERM : removeEntry(file, removed);
  // Holes are not written, so the space taken is at most what the file occupies.
  const auto size = static_cast<std::uint64_t>(file.opened.st_size);
  const auto occupied = static_cast<std::uint64_t>(file.opened.st_blocks) * 512u;
  if (const int error = store.checkFreeSpace(std::min(size, occupied) + kMaxRecordBytes)) return error;
  std::string id;
  Fd copy;
  if (const int error = store.createData(id, copy)) return error;
  const int error = fillAndRemove(file, entry, keepGoing, store, id, copy.get(), removed);
  // A mapped inode's copy is kept for analysis although nothing could be removed;
  // a name that is gone keeps its copy, which can put it back.
  const bool keep = (error == EPERM && file.kernelHandle) || removed;
  if (error != 0 && !keep) store.discard(id);
  return error;
}

}  // namespace qelda
