#pragma once
// ExecutableMappings: small files mapped executable into the test's own process,
// so that a scan of the running processes' modules finds that many more objects,
// with names as long as the test likes and the content it chooses. The files need not be programs: a module
// is any file-backed executable mapping. Unmapped on destruction; the files stay
// for the owner of the folder to remove.
//
// Thread-safety: one owner; the mappings themselves are read-only.
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

class ExecutableMappings {
 public:
  static constexpr char kDefaultContent[] = "an executable mapping of no program\n";

  // `count` files in `folder` holding `content` (not empty), each name padded to
  // about `nameLength` bytes.
  ExecutableMappings(const std::filesystem::path& folder, std::size_t count, std::size_t nameLength,
                     const std::string& content = kDefaultContent);
  // One file in `folder` of each name (any bytes but '/' and NUL).
  ExecutableMappings(const std::filesystem::path& folder, const std::vector<std::string>& names,
                     const std::string& content = kDefaultContent);
  ~ExecutableMappings();
  ExecutableMappings(const ExecutableMappings&) = delete;
  ExecutableMappings& operator=(const ExecutableMappings&) = delete;

  // Empty, or what failed.
  const std::string& failure() const { return failure_; }
  std::size_t size() const { return mappings_.size(); }
  const std::vector<std::filesystem::path>& paths() const { return paths_; }

 private:
  void add(const std::filesystem::path& path, const std::string& content);

  std::vector<void*> mappings_;
  std::vector<std::filesystem::path> paths_;
  std::size_t length_ = 0;
  std::string failure_;
};
