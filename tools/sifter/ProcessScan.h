#pragma once
// Running processes whose program is deleted (unlinked, or never had a name, as
// with memfd) or lies in a world-writable folder. The program is always read
// through /proc/<pid>/exe itself, which reaches the running inode even when no
// name leads to it any more. Processes that cannot be examined (kernel threads,
// other users' processes without the privilege, ones that ended) are skipped; so
// is the tool's own process.
//
// Thread-safety: one thread at a time (the collection is not shared).
#include <cstdint>
#include <string>
#include <vector>

#include "tools/sifter/Collection.h"

namespace sifter {

struct ProcessScanCounts {
  std::uint64_t processes = 0;
  std::uint64_t suspicious = 0;
};

ProcessScanCounts scanProcesses(const std::vector<std::string>& writableFolders, Collection& collection);

// True when path lies below folder (a component boundary, not a text prefix).
bool isBelowFolder(const std::string& path, const std::string& folder);

}  // namespace sifter
