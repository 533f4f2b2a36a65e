/*
 * Cleaning of a detected file: deleting it, or moving it into the quarantine
 * (QeldaQuarantineStore.h), and putting a quarantined file back.
 *
 * The file acted on is always the one that was scanned, reached through the
 * ScannedFile kept from the scan: its folder's descriptor, never its path again.
 * Immediately before the entry is unlinked, the entry must still name the scanned
 * inode, unchanged (size, mtime, ctime), and the path's folder, resolved again
 * without following links, must still be the held folder; otherwise nothing is
 * removed and the result is ESTALE. So a link, a folder swapped for a link, or a
 * file renamed over the scanned one (even while the quarantine copy runs) is never
 * touched.
 *
 * A quarantine copies exactly the scanned size through the scanned descriptor,
 * writing no holes, asks keepGoing between chunks, hashes what it wrote and
 * requires entry.sha256; it refuses when the copy would leave the quarantine's
 * file system with less free space than the floor. Whatever stops it leaves no
 * quarantine files behind. A restore resolves the original folder without
 * following links, requires it to be the folder recorded (device and inode),
 * never replaces an existing entry, and puts back the owner and mode.
 *
 * A file opened through a kernel handle to a mapped inode has no entry that could
 * be removed: delete returns EPERM, and a quarantine keeps its copy and record
 * for analysis but also returns EPERM, since nothing was taken off the disk. Its
 * record names it as the host reports it (entry.reportName, when given) and is
 * not restorable (QeldaQuarantineRecord.h).
 *
 * Cleaning says "cleaned" only when the content is gone. A file with more than
 * one hard link is refused before anything is removed or copied (EMLINK): the
 * other names would keep it. After the unlink the held descriptor must show no
 * link left; one that does (a link made in between) is EMLINK too, though the
 * name is gone by then, and a quarantine keeps its copy and record, so that the
 * name can still be put back. A file that a mount still serves once its name is
 * gone (bound over another path, in this or any other mount namespace) is
 * EMLINK the same way, and so is one for which that cannot be told
 * (QeldaMountReach.h).
 *
 * Content whose digest the quarantine already holds for the same path (for a
 * kernel handle: for any path) is not copied again: the quarantine refers to the
 * entry it has, so that repeated cleans of one module keep one entry.
 *
 * Every function returns 0 or an errno value: ESTALE when the file or its folder
 * is no longer the scanned (or recorded) one, ECANCELED when keepGoing said stop,
 * ENOSPC for the free-space floor, EMLINK when the content stays reachable,
 * EEXIST when a restore finds its path taken, EBADMSG for a damaged quarantine
 * entry, EINVAL for an invalid id, ENOTSUP when a restore is asked for a copy
 * kept only for analysis.
 *
 * Functions are stateless and safe from any thread; concurrent quarantines never
 * share an id, in one process or several.
 */
#ifndef QELDA_CLEANER_H
#define QELDA_CLEANER_H

#include "qelda/QeldaQuarantineRecord.h"
#include "qelda/QeldaQuarantineStore.h"
#include "qelda/QeldaScannedFile.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qelda {

struct QuarantineEntry {
  std::string detection;
  std::array<std::uint8_t, 32> sha256{};  // of the scanned content
  // The name the host reports a kernel handle's file under; empty: its path.
  // Initialised here, so that an entry given only the first two is whole.
  std::string reportName{};
};

int deleteScannedFile(const ScannedFile& file);
int quarantineScannedFile(const ScannedFile& file, const QuarantineEntry& entry, const KeepGoing& keepGoing,
                          const QuarantineOptions& options = {});

struct QuarantinedItem {
  std::string id;
  QuarantineRecord record;
};
// The readable records, by id; a missing quarantine folder is an empty list.
// Damaged records are left out and counted in `damaged` when given.
int listQuarantine(std::vector<QuarantinedItem>& items, const QuarantineOptions& options = {},
                   std::size_t* damaged = nullptr);
// Puts the file of quarantine entry `id` back and removes the entry.
int restoreFromQuarantine(const std::string& id, const QuarantineOptions& options = {});

}  // namespace qelda

#endif
