/*
 * The names and clean data files of a data set, parsed into tables.
 *
 * Names file: one entry a line, "#" starts a comment, blank lines are skipped.
 *   version <major> <minor>                     exactly once
 *   <name pattern> <virus type> <detect type>   any number
 * A pattern is a detection name, or a prefix followed by "*"; the first pattern
 * that matches wins. Clean file:
 *   <virus type> delete|quarantine|none         "*" as the type gives the default
 * Numbers are decimal, 0..65535 (versions 0..4294967295).
 *
 * Parsing is pure (text in, table or the 1-based line of the first fault out), so
 * the fuzz target and the tests drive it directly. The tables are immutable after
 * parsing and safe to read from any number of threads.
 */
#ifndef QELDA_DATA_TABLES_H
#define QELDA_DATA_TABLES_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qelda {

struct NameEntry {
  std::string pattern;
  std::uint16_t virusType = 0;
  std::uint16_t detectType = 0;
};

struct NamesTable {
  std::uint32_t versionMajor = 0;
  std::uint32_t versionMinor = 0;
  std::vector<NameEntry> entries;

  // The entry whose pattern matches the detection name, or none.
  const NameEntry* find(std::string_view detectionName) const;
};

enum class CleanAction { None, Delete, Quarantine };

struct CleanTable {
  std::map<std::uint16_t, CleanAction> actions;
  CleanAction fallback = CleanAction::None;

  CleanAction actionFor(std::uint16_t virusType) const;
};

// The table, or the 1-based line of the first malformed line (0 when the file as
// a whole is wrong, for example without a version line: reported as its last line).
template <typename Table>
struct ParseOutcome {
  std::optional<Table> table;
  std::uint32_t faultLine = 0;
};

ParseOutcome<NamesTable> parseNamesTable(std::string_view text);
ParseOutcome<CleanTable> parseCleanTable(std::string_view text);

}  // namespace qelda

#endif
