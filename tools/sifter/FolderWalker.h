#pragma once
// FolderWalker: visits the regular files below a folder through descriptors
// (openat/fstatat, links never followed), so an entry that is or becomes a link
// can never lead the walk out of the tree. Every walk is bounded: folders deeper
// than maxDepth levels below the root are not entered, a root gives at most
// maxEntries entries, and a folder already walked (overlapping roots, bind mounts)
// or excluded is not walked again. Below a root, a folder that the skip test
// picks out is not entered either.
//
// Thread-safety: one thread at a time.
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <utility>

#include "tools/sifter/FileAccess.h"

namespace sifter {

struct WalkedFile {
  int folderFd;             // the folder holding the file, open during the call
  const std::string& name;  // its entry in that folder
  const std::string& path;  // root-based path, for the report
  const struct stat& status;  // of the entry itself (not followed)
};

struct WalkCounts {
  std::uint64_t entries = 0;
  std::uint64_t files = 0;
  bool truncated = false;  // a bound cut the walk short
};

class FolderWalker {
 public:
  FolderWalker(unsigned maxDepth, std::uint64_t maxEntries) : maxDepth_(maxDepth), maxEntries_(maxEntries) {}

  // The folder is never entered (the tool's own output folder).
  void exclude(const FileIdentity& folder) { visited_.insert(folder); }
  // A folder below a root for which skip(name, status) is true is not entered;
  // the status is that of the folder as opened, so the test sees the very
  // folder the walk would enter.
  void skipFolders(std::function<bool(const std::string& name, const struct stat& status)> skip) {
    skip_ = std::move(skip);
  }

  // Walks root (a root that is a link or no folder is skipped) and calls visit
  // for every regular file. The counts are of this root alone.
  WalkCounts walk(const std::string& root, const std::function<void(const WalkedFile&)>& visit);

 private:
  void walkFolder(int folderFd, const std::string& path, unsigned depth,
                  const std::function<void(const WalkedFile&)>& visit, WalkCounts& counts);

  unsigned maxDepth_;
  std::uint64_t maxEntries_;
  std::set<FileIdentity> visited_;
  std::function<bool(const std::string&, const struct stat&)> skip_;
};

}  // namespace sifter
