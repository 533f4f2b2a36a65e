/*
 * The quarantine folder <machine>/Vexora/Quarantine (machine: the options' folder,
 * else $VX_MACHINE_DIR, else /var/lib) and the files in it: "<id>.qdata", a
 * quarantined file's content, and "<id>.qrec", its record (QeldaQuarantineRecord.h).
 *
 * The folders are reached without following links. The machine folder must be
 * ours or root's and writable by nobody else; "Vexora" and "Quarantine" must be
 * ours and writable by nobody else ("Quarantine" is made owner-only); anything
 * else is refused with EPERM, a link with ELOOP. Files are created owner-only
 * with O_EXCL|O_NOFOLLOW; a record appears whole or not at all (a temporary file,
 * fsync, rename, fsync of the folder).
 *
 * Ids are the time and 16 random hexadecimal digits, unique within and across
 * processes (creation with O_EXCL would catch a clash). A QuarantineStore belongs
 * to one thread at a time; any number may be open at once, in one process or
 * several.
 */
#ifndef QELDA_QUARANTINE_STORE_H
#define QELDA_QUARANTINE_STORE_H

#include "qelda/QeldaFd.h"
#include "qelda/QeldaQuarantineRecord.h"

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelda {

struct QuarantineOptions {
  // Empty: $VX_MACHINE_DIR, else /var/lib.
  std::string machineFolder;
  // The free space the quarantine's file system must keep after a copy; none:
  // the larger of 64 MiB and 1% of the file system.
  std::optional<std::uint64_t> freeSpaceFloor;
};

// The quarantine folder's path for these options.
std::string quarantineFolder(const QuarantineOptions& options = {});

// An id as made by the store: 1 to 64 of [0-9A-Za-z_-], so never a path.
bool validQuarantineId(std::string_view id);

class QuarantineStore {
 public:
  // Opens the folder, creating what is missing when `create` (ENOENT otherwise).
  static int open(const QuarantineOptions& options, bool create, QuarantineStore& store);

  int folder() const { return folder_.get(); }
  // ENOSPC when writing `bytes` would leave less than the floor free.
  int checkFreeSpace(std::uint64_t bytes) const;
  // Creates "<id>.qdata" (owner-only, write) under a new id.
  int createData(std::string& id, Fd& data) const;
  // Opens "<id>.qdata" for reading; it must be a regular file.
  int openData(const std::string& id, Fd& data, struct stat& info) const;
  int writeRecord(const std::string& id, const QuarantineRecord& record) const;
  // EBADMSG for a record that is not a regular file, too large or malformed.
  int readRecord(const std::string& id, QuarantineRecord& record) const;
  // The ids of the records in the folder.
  int listIds(std::vector<std::string>& ids) const;
  // Removes every file of `id`, the record first (a record never outlives its
  // data), and makes the removal durable.
  void discard(const std::string& id) const;

 private:
  Fd folder_;
  std::optional<std::uint64_t> floor_;
};

}  // namespace qelda

#endif
