#pragma once
// ProcessMaps: a bounded, consistent view of one process's /proc/<pid>/maps and
// the executable mappings it lists.
//
// The kernel hands out a maps file a page at a time and lets go of the process's
// memory map between those reads, so one pass over a process that moves a mapping
// with mremap can miss that mapping altogether (it moved from beyond the reader to
// before it). A view is therefore read whole, again and again, until two
// consecutive reads agree on the layout: every mapping's range, permissions,
// offset, device and inode. Paths may differ between the two, since a process can
// rename its files endlessly; a path is only a name, the identity decides. A
// process that never holds still for that, within a few reads, has no view. Processes other users control decide how
// large their maps are (thousands of mappings of a file with a long path make
// hundreds of megabytes), so a view is bounded, and one that would exceed the
// bound is refused rather than read in part. Neither kind is ever skipped quietly:
// the caller learns why there is no view.
//
// Names in a map are the kernel's text: a newline in a path shows as "\012", and a
// backslash is not escaped, so "\012" may also be four bytes of a real name.
// decodeMapsPath undoes the escape; callers that can look at the file try the
// decoded name first and the text as shown second.
//
// Thread-safety: the functions are safe from any thread; a ProcessMapsReader
// belongs to one thread at a time.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The most bytes of one process's maps a walk holds. A process mapping more than
// this (about 400,000 mappings of ordinary library paths) is reported unreadable.
inline constexpr std::size_t kMapsByteLimit = std::size_t{64} << 20;
// How many times a maps file is read, at most, for two consecutive reads that agree.
inline constexpr int kMapsReads = 5;

struct MapsReadLimits {
  std::size_t bytes = kMapsByteLimit;
  int reads = kMapsReads;
};

enum class MapsReadStatus {
  Read,       // the text is a view whose layout two consecutive reads agreed on
  Vanished,   // the process ended
  Denied,     // no permission to read its maps
  Unstable,   // no two consecutive reads agreed
  TooLarge,   // the maps exceed the byte limit
  Failed,     // another system error
};

// Text that can be read from its start again, as a maps file can.
class RereadableText {
 public:
  virtual ~RereadableText() = default;
  // Up to into.size() next bytes: their count, 0 at the end, or -1 with errno set.
  virtual long read(std::span<char> into) = 0;
  // Back to the start; false with errno set.
  virtual bool rewind() = 0;
};

// Sees the text of every whole read, the last one included.
using MapsReadObserver = std::function<void(std::string_view text)>;

// Reads `source` whole into `text` until two consecutive reads agree on the
// layout, holding at most limits.bytes of text, one chunk and two layouts (a few
// dozen bytes a line) besides; `text` is the last read. On Failed, Denied or Vanished,
// `error` holds the errno; `text` is meaningful only on Read.
MapsReadStatus readStableText(RereadableText& source, const MapsReadLimits& limits, std::string& text, int& error,
                              const MapsReadObserver& eachRead = {});

// Reads the maps of processes, reusing its buffers from one process to the next.
class ProcessMapsReader {
 public:
  MapsReadStatus read(int pid, const MapsReadLimits& limits = {}, const MapsReadObserver& eachRead = {});
  // The view of the last successful read.
  std::string_view text() const { return text_; }
  // The errno of the last read that failed with one, else 0.
  int error() const { return error_; }

 private:
  std::string text_;
  int error_ = 0;
};

// One executable, file-backed mapping of a process map.
struct ExecutableMapping {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint32_t deviceMajor = 0;
  std::uint32_t deviceMinor = 0;
  std::uint64_t inode = 0;
  std::string path;  // as the map shows it, escapes and " (deleted)" included
};

// The same, with the path still inside the maps text it was read from.
struct ExecutableMappingView {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  std::uint32_t deviceMajor = 0;
  std::uint32_t deviceMinor = 0;
  std::uint64_t inode = 0;
  std::string_view path;

  ExecutableMapping toMapping() const { return {start, end, deviceMajor, deviceMinor, inode, std::string(path)}; }
};

// One line of a maps text (without its newline), when it is a file-backed
// executable mapping.
bool parseExecutableMapping(std::string_view line, ExecutableMappingView& mapping);

// Calls `visit` for each executable mapping of `mapsText` in the order the text
// lists them (the kernel's: ascending address) until it answers true. True when
// `visit` ended the listing.
bool forEachExecutableMapping(std::string_view mapsText,
                              const std::function<bool(const ExecutableMappingView& mapping)>& visit);

// The executable mappings of one /proc/<pid>/maps text, in ascending address
// order. Lines that are not file-backed executable mappings are left out.
std::vector<ExecutableMapping> parseExecutableMappings(std::string_view mapsText);

// A maps path with the kernel's "\012" turned back into the newline it stands for.
std::string decodeMapsPath(std::string_view shown);

}  // namespace platform
