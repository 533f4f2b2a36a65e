#include "tools/sifter/FolderScans.h"

#include <sys/stat.h>

#include "tools/sifter/Reasons.h"

namespace sifter {

bool isRecentChange(std::time_t changed, std::time_t now, unsigned days) {
  const std::time_t window = static_cast<std::time_t>(days) * 24 * 60 * 60;
  return changed >= now - window;
}

FolderScanCounts scanWritableFolders(const std::vector<std::string>& roots, FolderWalker& walker,
                                     Collection& collection) {
  FolderScanCounts counts;
  for (const auto& root : roots) {
    const auto walked = walker.walk(root, [&](const WalkedFile& found) {
      auto opened = openRegularFileAt(found.folderFd, found.name);
      if (!opened.fd.valid()) return;
      if ((opened.status.st_mode & 0111) == 0 && !hasExecutableMagic(opened.fd.get())) return;
      ++counts.suspicious;
      collection.add(found.path, opened.fd.get(), opened.status, reason::kWritableFolderExecutable);
    });
    counts.files += walked.files;
    counts.truncated = counts.truncated || walked.truncated;
  }
  return counts;
}

FolderScanCounts scanProgramFolders(const std::vector<std::string>& roots, unsigned recentDays, std::time_t now,
                                    FolderWalker& walker, Collection& collection) {
  FolderScanCounts counts;
  auto candidate = [&](const struct stat& status) {
    return (status.st_mode & (S_ISUID | S_ISGID)) != 0 && isRecentChange(status.st_ctim.tv_sec, now, recentDays);
  };
  for (const auto& root : roots) {
    const auto walked = walker.walk(root, [&](const WalkedFile& found) {
      // Most files of these folders fail the test on the walk's own status, so
      // only candidates are opened, and the test is repeated on the open file.
      if (!candidate(found.status)) return;
      auto opened = openRegularFileAt(found.folderFd, found.name);
      if (!opened.fd.valid() || !candidate(opened.status)) return;
      ++counts.suspicious;
      if ((opened.status.st_mode & S_ISUID) != 0) {
        collection.add(found.path, opened.fd.get(), opened.status, reason::kRecentSetUid);
      }
      if ((opened.status.st_mode & S_ISGID) != 0) {
        collection.add(found.path, opened.fd.get(), opened.status, reason::kRecentSetGid);
      }
    });
    counts.files += walked.files;
    counts.truncated = counts.truncated || walked.truncated;
  }
  return counts;
}

}  // namespace sifter
