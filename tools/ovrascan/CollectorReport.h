#pragma once
// CollectorReport: the collector's report of suspicious files (Logs/Files.xml in
// its session folder), as the suspicious-scan object hands it over: one element
// per file with its path, reason, size and whether it went into the archive, and
// the archive's path on the root element.
//
// A value type; no shared state.
//
// CollectorFailure: the codes a collection or an upload can end with, other than
// 0, in words (see the table in CollectorReport.cpp): the collector's own exit
// codes, the exit status of a collector ended by a signal, and the Windows codes
// of the runner and of a start that failed. Constant data; safe from any thread.
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
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

namespace CollectorFailure {

// Where a code comes from, which decides how its number is shown.
enum class Source {
  Collector,  // the collector's exit code (tools/sifter/SifterExitCode.h)
  Signal,     // 128 + the number of the signal that ended the collector
  System,     // a Windows code of the runner, or of a start that failed
};

// The codes first..last (mostly one) and what they mean. Where ranges overlap,
// the row that comes first wins.
struct Entry {
  std::uint32_t first;
  std::uint32_t last;
  Source source;
  std::string_view sentence;
};

std::span<const Entry> table();

// "the collector could not write its archive or report (exit code 93)"; a code
// of no row: "the collector ended with code 7 (0x00000007)".
std::string describe(std::uint32_t code);

}  // namespace CollectorFailure
