#pragma once
// What the process tests share: the helper child and reading back what it wrote.
#include <sys/types.h>

#include <string>
#include <vector>

#include "process/VxTask.h"

namespace vxtest {

// A task whose signature test passes and counts its calls, so that whatever
// the trust rule lets through starts, and a refusal shows as no call at all.
class CountingTask : public CVxExeTask {
 public:
  CountingTask(const std::wstring& path, const std::wstring& arguments, bool wait = true)
      : CVxExeTask(path, arguments, wait, true) {}
  bool validateOpenExecutable(int, const std::wstring&) override {
    ++validations;
    return true;
  }
  int validations = 0;
};

// Full path of the ArgvWriter helper (beside the test executable).
std::string argvWriterPath();
std::wstring argvWriterPathWide();

// What an ArgvWriter run wrote: nice value, working folder, arguments.
struct ChildReport {
  int nice = 0;
  std::string folder;
  std::vector<std::string> arguments;
};
bool readChildReport(const std::string& file, ChildReport& report);

// The NUL-terminated fields an ArgvWriter --fds or --identity run wrote; empty
// when the file is missing.
std::vector<std::string> readChildFields(const std::string& file);

// A copy of the ArgvWriter helper at path, with mode; false when it cannot be made.
bool copyArgvWriter(const std::string& path, mode_t mode);

// A fresh empty folder for one test, removed with the object.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};


}  // namespace vxtest
