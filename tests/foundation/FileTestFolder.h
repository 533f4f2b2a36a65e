#pragma once
// A private scratch folder for one test (made with mkdtemp, removed afterwards)
// and a machine folder inside it, so that file tests never touch /var/lib or
// each other's files. The environment variable VX_MACHINE_DIR points at the
// machine folder for the life of the object.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "foundation/VxNATypeConversion.h"

namespace vxtest {

class FileTestFolder {
 public:
  FileTestFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vxfiletest.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    machine_ = root_ / "machine";
    std::filesystem::create_directory(machine_);
    ::setenv("VX_MACHINE_DIR", machine_.c_str(), 1);
  }
  ~FileTestFolder() {
    ::unsetenv("VX_MACHINE_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  FileTestFolder(const FileTestFolder&) = delete;
  FileTestFolder& operator=(const FileTestFolder&) = delete;

  const std::filesystem::path& root() const { return root_; }
  const std::filesystem::path& machine() const { return machine_; }
  std::filesystem::path pendingList() const { return machine_ / "Vexora" / "PendingDelete.list"; }

  std::filesystem::path path(const std::string& relative) const { return root_ / relative; }
  std::wstring wide(const std::string& relative) const { return toWide(path(relative)); }

  static std::wstring toWide(const std::filesystem::path& path) {
    return VxNATypeConversion::ansiBufferToWideString(path.string());
  }

  // Writes `bytes` to root/relative, creating the folders on the way.
  std::filesystem::path writeFile(const std::string& relative, const std::string& bytes = "x") const {
    const std::filesystem::path file = path(relative);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }
  std::filesystem::path makeFolder(const std::string& relative) const {
    std::filesystem::create_directories(path(relative));
    return path(relative);
  }

  static bool exists(const std::filesystem::path& path) {
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
  }

 private:
  std::filesystem::path root_;
  std::filesystem::path machine_;
};

}  // namespace vxtest
