#pragma once
// CollectorReport: the collector's report of suspicious files (Logs/Files.xml in
// its session folder), as the suspicious-scan object hands it over: one element
// per file with its path, reason, size and whether it went into the archive, and
// the archive's path on the root element.
//
// A value type; no shared state.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class CollectorReport {
 public:
  struct File {
    std::string path;    // UTF-8, as the report has it
    std::string reason;
    std::string size;
    bool archived = false;
  };

  // Reads the report text. Returns an empty text, or what is wrong with it.
  std::string parse(const std::wstring& text);

  const std::vector<File>& files() const { return files_; }
  // The archive's path; empty when the report names none.
  const std::string& archive() const { return archive_; }

  // Each file with its reason, then the archive.
  void print(std::FILE* out) const;
  // Copies the archive to `destination`, replacing it only once the copy is
  // whole. Returns an empty text, or what failed.
  std::string saveArchive(const std::string& destination) const;

 private:
  std::vector<File> files_;
  std::string archive_;
};
