#pragma once
// The two walks of a collection:
// - world-writable folders: every regular file that has an execute bit or starts
//   like a program (ELF, "#!"), since anybody could have put it there;
// - program folders: set-uid and set-gid files whose inode changed within the
//   last recentDays days, the trace a privilege backdoor leaves.
// Both walk with FolderWalker's bounds and open files only through FileAccess.
//
// Thread-safety: one thread at a time.
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "tools/sifter/Collection.h"
#include "tools/sifter/FolderWalker.h"

namespace sifter {

struct FolderScanCounts {
  std::uint64_t files = 0;
  std::uint64_t suspicious = 0;
  bool truncated = false;
};

FolderScanCounts scanWritableFolders(const std::vector<std::string>& roots, FolderWalker& walker,
                                     Collection& collection);
FolderScanCounts scanProgramFolders(const std::vector<std::string>& roots, unsigned recentDays, std::time_t now,
                                    FolderWalker& walker, Collection& collection);

// True when an inode changed at `changed` counts as changed within the last
// `days` days at `now`; a change time in the future counts as recent.
bool isRecentChange(std::time_t changed, std::time_t now, unsigned days);

}  // namespace sifter
