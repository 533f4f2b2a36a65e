// The cleaner for callers that kept a path and the stat of what they scanned
// rather than a ScannedFile: the path is opened again, without following links,
// and acted on only when it is still the inode scanned, unchanged.
#include "qelda/QeldaCleaner.h"

#include <sys/stat.h>

#include <cerrno>

namespace qelda {
namespace {

bool sameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

int reopenScanned(const std::string& path, const struct stat& scanned, ScannedFile& file) {
  if (const int error = openScannedFile(path, file)) return error;
  const struct stat& now = file.opened;
  const bool same = now.st_dev == scanned.st_dev && now.st_ino == scanned.st_ino && now.st_size == scanned.st_size &&
                    sameTime(now.st_mtim, scanned.st_mtim) && sameTime(now.st_ctim, scanned.st_ctim);
  return same ? 0 : ESTALE;
}

}  // namespace

int deleteScannedFile(const std::string& path, const struct stat& scanned) {
  ScannedFile file;
  if (const int error = reopenScanned(path, scanned, file)) return error;
  return deleteScannedFile(file);
}

int quarantineScannedFile(const std::string& path, int /*fileFd*/, const struct stat& scanned,
                          const PathQuarantineEntry& entry) {
  ScannedFile file;
  if (const int error = reopenScanned(path, scanned, file)) return error;
  QuarantineEntry byDigest{entry.detection, {}};
  if (!fromHex(entry.sha256Hex, byDigest.sha256)) {
    if (const int error = digestScannedFile(file, {}, byDigest.sha256)) return error;
  }
  return quarantineScannedFile(file, byDigest, {});
}

int restoreQuarantined(const std::string& recordPath) {
  const auto slash = recordPath.find_last_of('/');
  const std::string suffix = ".qrec";
  if (slash == std::string::npos || recordPath.substr(0, slash) != quarantineFolder()) return EINVAL;
  const std::string name = recordPath.substr(slash + 1);
  if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return EINVAL;
  }
  return restoreFromQuarantine(name.substr(0, name.size() - suffix.size()));
}

}  // namespace qelda
