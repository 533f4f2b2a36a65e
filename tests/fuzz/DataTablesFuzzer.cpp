// Fuzzes the names and clean data-file parsers of the engine library with the same
// arbitrary text. A rejected file must name a line that exists; an accepted one
// must write back to text that parses to the same table, and every names pattern
// must find an entry for itself.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "qelda/QeldaDataTables.h"

namespace {

std::uint32_t linesOf(std::string_view text) {
  std::uint32_t count = 0;
  for (const char c : text) count += c == '\n' ? 1 : 0;
  return (text.empty() || text.back() == '\n') ? count : count + 1;
}

template <typename Table>
void checkFault(const qelda::ParseOutcome<Table>& outcome, std::string_view text) {
  if (outcome.table) {
    if (outcome.faultLine != 0) __builtin_trap();
    return;
  }
  if (outcome.faultLine == 0 || outcome.faultLine > std::max<std::uint32_t>(1, linesOf(text))) {
    __builtin_trap();
  }
}

const char* actionWord(qelda::CleanAction action) {
  switch (action) {
    case qelda::CleanAction::Delete: return "delete";
    case qelda::CleanAction::Quarantine: return "quarantine";
    case qelda::CleanAction::None: break;
  }
  return "none";
}

void checkNames(std::string_view text) {
  const auto outcome = qelda::parseNamesTable(text);
  checkFault(outcome, text);
  if (!outcome.table) return;
  const qelda::NamesTable& table = *outcome.table;
  std::string written = "version " + std::to_string(table.versionMajor) + " " +
                        std::to_string(table.versionMinor) + "\n";
  for (std::size_t i = 0; i < table.entries.size(); ++i) {
    const qelda::NameEntry& entry = table.entries[i];
    const qelda::NameEntry* found = table.find(entry.pattern);
    if (found == nullptr || found > &entry) __builtin_trap();
    written += entry.pattern + " " + std::to_string(entry.virusType) + " " +
               std::to_string(entry.detectType) + "\n";
  }
  const auto again = qelda::parseNamesTable(written);
  if (!again.table || again.table->versionMajor != table.versionMajor ||
      again.table->versionMinor != table.versionMinor ||
      again.table->entries.size() != table.entries.size()) {
    __builtin_trap();
  }
  for (std::size_t i = 0; i < table.entries.size(); ++i) {
    const qelda::NameEntry& before = table.entries[i];
    const qelda::NameEntry& after = again.table->entries[i];
    if (before.pattern != after.pattern || before.virusType != after.virusType ||
        before.detectType != after.detectType) {
      __builtin_trap();
    }
  }
}

void checkClean(std::string_view text) {
  const auto outcome = qelda::parseCleanTable(text);
  checkFault(outcome, text);
  if (!outcome.table) return;
  const qelda::CleanTable& table = *outcome.table;
  std::string written = std::string("* ") + actionWord(table.fallback) + "\n";
  for (const auto& [virusType, action] : table.actions) {
    if (table.actionFor(virusType) != action) __builtin_trap();
    written += std::to_string(virusType) + " " + actionWord(action) + "\n";
  }
  const auto again = qelda::parseCleanTable(written);
  if (!again.table || again.table->fallback != table.fallback || again.table->actions != table.actions) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  checkNames(text);
  checkClean(text);
  return 0;
}
