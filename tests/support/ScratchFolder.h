#pragma once
// ScratchFolder: a fresh folder (mode 0700, made with mkdtemp under the
// system's temporary folder) for one test, removed with everything in it when
// the object goes; links inside are removed, never followed.
//
// One owner; not shared between threads.
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace vxtest {

class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& prefix = "vx-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace vxtest
