// A scratch folder of one test, removed with everything in it afterwards, and the
// small file helpers the cleaner tests share.
#ifndef QELDA_TEST_FOLDER_H
#define QELDA_TEST_FOLDER_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

namespace qeldatest {

namespace fs = std::filesystem;

class TestFolder {
 public:
  TestFolder() {
    std::string pattern = (fs::path(::testing::TempDir()) / "qelda-clean-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TestFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

inline void writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
}

inline std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace qeldatest

#endif
