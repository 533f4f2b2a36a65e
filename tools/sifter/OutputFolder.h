#pragma once
// The folder a collection writes into (--zippath=DIR), held open by descriptor
// from the check on, and the private staging folder inside it.
//
// DIR must already exist, must not be a symbolic link, must be a folder owned by
// the effective user that neither group nor others may write, and its absolute
// path must be XML text (it is written into Sifter.xml as it is).
//
// Thread-safety: one owner at a time.
#include <string>

#include "platform/UniqueFileDescriptor.h"
#include "tools/sifter/FileAccess.h"

namespace sifter {

class OutputFolder {
 public:
  // "" when usable, else why not.
  std::string open(const std::string& path);
  int fd() const { return fd_.get(); }
  const std::string& absolutePath() const { return absolutePath_; }
  FileIdentity identity() const { return identity_; }

 private:
  platform::UniqueFileDescriptor fd_;
  std::string absolutePath_;
  FileIdentity identity_;
};

// A folder of fresh name inside the output folder, emptied and removed when the
// owner goes.
class StagingFolder {
 public:
  StagingFolder() = default;
  ~StagingFolder();
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;

  std::string create(int parentFd);
  int fd() const { return fd_.get(); }

 private:
  int parentFd_ = -1;
  std::string name_;
  platform::UniqueFileDescriptor fd_;
};

// Creates (when missing) and opens the subfolder name, refusing a link.
platform::UniqueFileDescriptor openOrCreateSubfolder(int parentFd, const std::string& name);

}  // namespace sifter
