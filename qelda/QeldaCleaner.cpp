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
#include "qelda/QeldaSha256.h"

#include <fcntl.h>

#include <cerrno>
#include <ctime>

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
  record.path = file.path;
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

int removeEntry(const ScannedFile& file) {
  if (const int error = checkStillInPlace(file)) return error;
  // Deleted, anonymous or replaced: the mapped inode has no name of its own.
  if (file.kernelHandle) return EPERM;
  return ::unlinkat(file.parent.get(), file.name.c_str(), 0) == 0 ? 0 : errno;
}

// Everything after the quarantine's data file exists; the caller discards the
// entry when this fails.
int fillAndRemove(const ScannedFile& file, const QuarantineEntry& entry, const KeepGoing& keepGoing,
                  const QuarantineStore& store, const std::string& id, int copy) {
  Sha256Digest written{};
  if (const int error = copyScanned(file, copy, keepGoing, written)) return error;
  // Grown, shrunk, rewritten or renamed over during the copy: what was copied is
  // not what was scanned, and the name may now be someone else's file.
  if (!unchangedSinceOpen(file) || written != entry.sha256) return ESTALE;
  if (::fsync(copy) != 0) return errno;
  struct stat folder {};
  if (::fstat(file.parent.get(), &folder) != 0) return errno;
  if (const int error = store.writeRecord(id, recordOf(file, entry, folder))) return error;
  return removeEntry(file);
}

}  // namespace

int deleteScannedFile(const ScannedFile& file) { return removeEntry(file); }

int quarantineScannedFile(const ScannedFile& file, const QuarantineEntry& entry, const KeepGoing& keepGoing,
                          const QuarantineOptions& options) {
  if (const int error = checkStillInPlace(file)) return error;
  QuarantineStore store;
  if (const int error = QuarantineStore::open(options, true, store)) return error;
  // Holes are not written, so the space taken is at most what the file occupies.
  const auto size = static_cast<std::uint64_t>(file.opened.st_size);
  const auto occupied = static_cast<std::uint64_t>(file.opened.st_blocks) * 512u;
  if (const int error = store.checkFreeSpace(std::min(size, occupied) + kMaxRecordBytes)) return error;
  std::string id;
  Fd copy;
  if (const int error = store.createData(id, copy)) return error;
  const int error = fillAndRemove(file, entry, keepGoing, store, id, copy.get());
  // A mapped inode's copy is kept for analysis although nothing could be removed.
  if (error != 0 && !(error == EPERM && file.kernelHandle)) store.discard(id);
  return error;
}

}  // namespace qelda
