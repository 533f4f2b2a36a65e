#pragma once
// What the process tests share: the helper child and reading back what it wrote.
#include <string>
#include <vector>

namespace vxtest {

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
