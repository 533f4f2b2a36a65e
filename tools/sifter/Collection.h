#pragma once
// Collection: the suspicious files found so far, each once, and their copies.
//
// A file is known by its identity (device and inode), so the same file reached
// twice (a running program that also lies in /tmp, two processes of one deleted
// program) is one entry whose reasons and process ids accumulate. When a file is
// first added it is copied at once, from the descriptor it was found with, into a
// private staging folder, and its SHA-256 is computed over exactly the bytes
// copied: the archive later packs these copies, so the report's size and digest
// always describe what the archive holds, even when the original changes or
// disappears in between. A file larger than the per-file limit, or one that would
// take the archived total above its limit, is listed but not copied.
//
// Thread-safety: one thread at a time.
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/UniqueFileDescriptor.h"
#include "tools/sifter/FileAccess.h"

namespace sifter {

struct CollectedFile {
  std::string path;                  // where it was first found
  FileIdentity identity;
  std::vector<std::string> reasons;  // fixed texts, in the order found
  std::vector<pid_t> processes;      // processes running it
  std::uint64_t size = 0;            // on disk when found; the bytes copied when archived
  struct timespec modified {};
  struct timespec changed {};
  bool archived = false;
  std::string sha256;                // hexadecimal; empty when not copied
  std::string note;                  // why it was not archived
  std::string stagedName;            // its copy in the staging folder
  std::string entryName;             // its name in the archive
};

class Collection {
 public:
  // stagingFd: a private folder of the tool's own; the copies go there.
  Collection(int stagingFd, std::uint64_t maxFileSize, std::uint64_t maxTotalSize)
      : stagingFd_(stagingFd), maxFileSize_(maxFileSize), maxTotalSize_(maxTotalSize) {}

  // Adds the open regular file (its status as fstat gave it) for reason; pid 0
  // when no process is involved. Returns true when the file was new.
  bool add(const std::string& path, int fd, const struct stat& status, const std::string& reason, pid_t pid = 0);

  const std::vector<CollectedFile>& files() const { return files_; }
  std::uint64_t archivedBytes() const { return totalArchived_; }

 private:
  void copy(CollectedFile& file, int fd);

  int stagingFd_;
  std::uint64_t maxFileSize_;
  std::uint64_t maxTotalSize_;
  std::uint64_t totalArchived_ = 0;
  std::vector<CollectedFile> files_;
  std::map<FileIdentity, std::size_t> byIdentity_;
  std::set<std::string> entryNamesUsed_;
};

}  // namespace sifter
