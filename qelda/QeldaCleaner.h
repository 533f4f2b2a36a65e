/*
 * Cleaning of a detected file: deleting it or moving it into the quarantine folder
 * <machine>/Vexora/Quarantine (machine: $VX_MACHINE_DIR, else /var/lib), and
 * restoring a quarantined file.
 *
 * The file acted on is always the one that was scanned: the directory entry is
 * looked up without following symbolic links and must name the same device and
 * inode as the open descriptor, so a link or a file swapped in after the scan is
 * never touched. Quarantined files and their records are created owner-only.
 * A record "<id>.qrec" beside the quarantined file "<id>.qdata" holds lines
 * "path=", "detection=", "time=" (seconds since the epoch) and "sha256=".
 *
 * Functions are stateless and safe from any thread; quarantine ids are unique
 * within and across processes.
 */
#ifndef QELDA_CLEANER_H
#define QELDA_CLEANER_H

#include <string>

struct stat;

namespace qelda {

struct QuarantineEntry {
  std::string originalPath;
  std::string detection;
  std::string sha256Hex;
};

// Each returns 0 or an errno value.
int deleteScannedFile(const std::string& path, const struct stat& scanned);
int quarantineScannedFile(const std::string& path, int fileFd, const struct stat& scanned,
                          const QuarantineEntry& entry);
// Puts the file of the record back at its original path (never over an existing
// file) and removes the quarantine entry.
int restoreQuarantined(const std::string& recordPath);
std::string quarantineFolder();

}  // namespace qelda

#endif
