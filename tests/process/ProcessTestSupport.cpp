#include "tests/process/ProcessTestSupport.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace vxtest {

std::string argvWriterPath() { return VX_TEST_ARGV_WRITER; }

std::wstring argvWriterPathWide() {
  const std::string path = argvWriterPath();
  return std::wstring(path.begin(), path.end());
}

bool readChildReport(const std::string& file, ChildReport& report) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t end; (end = content.find('\0', start)) != std::string::npos; start = end + 1) {
    fields.push_back(content.substr(start, end - start));
  }
  if (fields.size() < 2 || fields[0].empty()) return false;
  report.nice = std::atoi(fields[0].c_str());
  report.folder = fields[1];
  report.arguments.assign(fields.begin() + 2, fields.end());
  return true;
}

std::vector<std::string> readChildFields(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t end; (end = content.find('\0', start)) != std::string::npos; start = end + 1) {
    fields.push_back(content.substr(start, end - start));
  }
  return fields;
}

bool copyArgvWriter(const std::string& path, mode_t mode) {
  std::error_code error;
  if (!std::filesystem::copy_file(argvWriterPath(), path, error) || error) return false;
  return chmod(path.c_str(), mode) == 0;
}

ScratchFolder::ScratchFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vxprocess.XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}


}  // namespace vxtest
