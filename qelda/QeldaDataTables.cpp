#include "qelda/QeldaDataTables.h"

#include <algorithm>
#include <charconv>

namespace qelda {
namespace {

// Splits a line at blanks and tabs; a "#" outside a token ends the line.
std::vector<std::string_view> tokens(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t' || line[at] == '\r')) ++at;
    if (at >= line.size() || line[at] == '#') break;
    const std::size_t start = at;
    while (at < line.size() && line[at] != ' ' && line[at] != '\t' && line[at] != '\r') ++at;
    out.push_back(line.substr(start, at - start));
  }
  return out;
}

template <typename Number>
std::optional<Number> number(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Calls handle(tokens) for every non-empty line; stops at the first line it rejects.
template <typename Handler>
std::uint32_t forEachLine(std::string_view text, Handler handle) {
  std::uint32_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.find('\0') != std::string_view::npos) return lineNumber;
    const auto parts = tokens(line);
    if (!parts.empty() && !handle(parts)) return lineNumber;
  }
  return 0;
}

bool matches(std::string_view pattern, std::string_view name) {
  if (!pattern.empty() && pattern.back() == '*') {
    return name.substr(0, pattern.size() - 1) == pattern.substr(0, pattern.size() - 1);
  }
  return pattern == name;
}

std::optional<CleanAction> cleanAction(std::string_view word) {
  if (word == "delete") return CleanAction::Delete;
  if (word == "quarantine") return CleanAction::Quarantine;
  if (word == "none") return CleanAction::None;
  return std::nullopt;
}

std::uint32_t lineCount(std::string_view text) {
  std::uint32_t count = 0;
  for (const char c : text) count += c == '\n' ? 1 : 0;
  return (text.empty() || text.back() == '\n') ? count : count + 1;
}

}  // namespace

const NameEntry* NamesTable::find(std::string_view detectionName) const {
  for (const NameEntry& entry : entries) {
    if (matches(entry.pattern, detectionName)) return &entry;
  }
  return nullptr;
}

CleanAction CleanTable::actionFor(std::uint16_t virusType) const {
  const auto found = actions.find(virusType);
  return found == actions.end() ? fallback : found->second;
}

ParseOutcome<NamesTable> parseNamesTable(std::string_view text) {
  NamesTable table;
  bool haveVersion = false;
  const std::uint32_t fault = forEachLine(text, [&](const std::vector<std::string_view>& parts) {
    if (parts[0] == "version") {
      if (haveVersion || parts.size() != 3) return false;
      const auto major = number<std::uint32_t>(parts[1]);
      const auto minor = number<std::uint32_t>(parts[2]);
      if (!major || !minor) return false;
      table.versionMajor = *major;
      table.versionMinor = *minor;
      haveVersion = true;
      return true;
    }
    if (parts.size() != 3) return false;
    const auto virusType = number<std::uint16_t>(parts[1]);
    const auto detectType = number<std::uint16_t>(parts[2]);
    if (!virusType || !detectType) return false;
    table.entries.push_back(NameEntry{std::string(parts[0]), *virusType, *detectType});
    return true;
  });
  if (fault != 0) return {std::nullopt, fault};
  if (!haveVersion) return {std::nullopt, std::max<std::uint32_t>(1, lineCount(text))};
  return {std::move(table), 0};
}

ParseOutcome<CleanTable> parseCleanTable(std::string_view text) {
  CleanTable table;
  bool haveFallback = false;
  const std::uint32_t fault = forEachLine(text, [&](const std::vector<std::string_view>& parts) {
    if (parts.size() != 2) return false;
    const auto action = cleanAction(parts[1]);
    if (!action) return false;
    if (parts[0] == "*") {
      if (haveFallback) return false;
      table.fallback = *action;
      haveFallback = true;
      return true;
    }
    const auto virusType = number<std::uint16_t>(parts[0]);
    if (!virusType || table.actions.count(*virusType) != 0) return false;
    table.actions.emplace(*virusType, *action);
    return true;
  });
  if (fault != 0) return {std::nullopt, fault};
  return {std::move(table), 0};
}

}  // namespace qelda
