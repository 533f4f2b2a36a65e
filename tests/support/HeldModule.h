#pragma once
// HeldModule: a child process that the test starts and that keeps one module
// mapped the way malware hides one: its program or a preloaded library deleted
// after the start, its program run from a memfd, or its program replaced on disk
// by a rename while it runs. The child is /bin/sleep (a copy of it, or itself with
// the library preloaded) and is killed on destruction.
//
// The module's bytes are the original file's followed by `extra`, so a test can
// put a marker into exactly that module.
//
// One owner; not shared between threads.
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

class HeldModule {
 public:
  enum class Kind { DeletedProgram, DeletedLibrary, MemfdProgram, ReplacedProgram };
  static constexpr Kind kKinds[] = {Kind::DeletedProgram, Kind::DeletedLibrary, Kind::MemfdProgram,
                                    Kind::ReplacedProgram};
  // The kind's name, for test names.
  static std::string kindName(Kind kind) {
    switch (kind) {
      case Kind::DeletedProgram: return "DeletedProgram";
      case Kind::DeletedLibrary: return "DeletedLibrary";
      case Kind::MemfdProgram: return "MemfdProgram";
      case Kind::ReplacedProgram: break;
    }
    return "ReplacedProgram";
  }

  // `folder` holds the files; `library` is the shared object preloaded for
  // DeletedLibrary (it must write one 'R' to stdout from its constructor); `name`
  // is the file's (or the memfd's) name. `holders` children of DeletedProgram
  // run the one file.
  HeldModule(Kind kind, const std::filesystem::path& folder, const std::string& name, const std::string& extra,
             const std::string& library = {}, int holders = 1);
  ~HeldModule();
  HeldModule(const HeldModule&) = delete;
  HeldModule& operator=(const HeldModule&) = delete;

  // Empty, or what failed.
  const std::string& failure() const { return failure_; }
  pid_t pid() const { return pids_.empty() ? -1 : pids_.front(); }
  const std::vector<pid_t>& pids() const { return pids_; }
  // The path the child mapped (gone or replaced by now), or the memfd's name.
  const std::filesystem::path& path() const { return path_; }
  // The name a scan reports for the module. A program replaced by a rename keeps
  // running an inode that no longer has a name: the kernel shows it as deleted.
  std::string reportName() const;
  // The bytes the child maps.
  const std::string& content() const { return content_; }
  // The inode the child maps.
  ino_t inode() const { return inode_; }

 private:
  bool spawn(const std::string& program, const std::string& preload);
  bool waitPreloaded();

  Kind kind_;
  std::filesystem::path path_;
  std::string content_;
  std::string failure_;
  ino_t inode_ = 0;
  std::vector<pid_t> pids_;
  int stdoutRead_ = -1;
};

