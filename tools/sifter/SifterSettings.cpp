#include "tools/sifter/SifterSettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <string_view>

#include "platform/FileSystem.h"
#include "platform/ModulePath.h"
#include "platform/TrustedFile.h"
#include "platform/UniqueFileDescriptor.h"

namespace sifter {

namespace {

constexpr std::size_t kMaximumSettingsSize = 64 * 1024;
constexpr std::size_t kMaximumCaFileSize = 1024 * 1024;

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

bool namesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

// The value of key in section, first occurrence in the file.
std::optional<std::string> findValue(std::string_view text, std::string_view section, std::string_view key) {
  bool inSection = false;
  while (!text.empty()) {
    const auto end = text.find('\n');
    const std::string_view line = trim(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      inSection = line.back() == ']' && namesEqual(trim(line.substr(1, line.size() - 2)), section);
      continue;
    }
    const auto equals = line.find('=');
    if (!inSection || equals == std::string_view::npos) continue;
    if (namesEqual(trim(line.substr(0, equals)), key)) return std::string(unquote(trim(line.substr(equals + 1))));
  }
  return std::nullopt;
}

std::vector<std::string> splitList(const std::string& value) {
  std::vector<std::string> items;
  std::string_view rest = value;
  while (true) {
    const auto colon = rest.find(':');
    const auto item = trim(rest.substr(0, colon));
    if (!item.empty()) items.emplace_back(item);
    if (colon == std::string_view::npos) break;
    rest = rest.substr(colon + 1);
  }
  return items;
}

template <typename Number>
bool parseNumber(const std::string& text, Number& number) {
  Number value{};
  const auto* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc{} || stop != end) return false;
  number = value;
  return true;
}

// Applies the [Scan] and [Upload] keys of text; "" or the first problem.
std::string applySettings(const std::string& text, Settings& settings) {
  auto& scan = settings.scan;
  if (auto value = findValue(text, "Scan", "WritableFolders")) scan.writableFolders = splitList(*value);
  if (auto value = findValue(text, "Scan", "ProgramFolders")) scan.programFolders = splitList(*value);
  auto number = [&](std::string_view key, auto& field) -> bool {
    auto value = findValue(text, "Scan", key);
    return !value || parseNumber(*value, field);
  };
  if (!number("MaxDepth", scan.maxDepth)) return "MaxDepth is not a number";
  if (!number("MaxEntries", scan.maxEntries)) return "MaxEntries is not a number";
  if (!number("MaxFileSize", scan.maxFileSize)) return "MaxFileSize is not a number";
  if (!number("MaxTotalSize", scan.maxTotalSize)) return "MaxTotalSize is not a number";
  if (!number("RecentDays", scan.recentDays)) return "RecentDays is not a number";
  if (auto value = findValue(text, "Scan", "Processes")) {
    if (*value != "0" && *value != "1") return "Processes is neither 0 nor 1";
    scan.processes = *value == "1";
  }
  for (const auto& folder : scan.writableFolders) {
    if (folder.front() != '/') return "WritableFolders holds a relative path";
  }
  for (const auto& folder : scan.programFolders) {
    if (folder.front() != '/') return "ProgramFolders holds a relative path";
  }
  if (auto value = findValue(text, "Upload", "Address")) settings.upload.address = *value;
  if (auto value = findValue(text, "Upload", "CAFile"); value && !value->empty()) {
    settings.upload.caFile = *value;
    bool missing = false;
    const auto problem = readTrustedFile(*value, kMaximumCaFileSize, settings.upload.caPem, missing);
    if (!problem.empty()) return "CAFile " + *value + ": " + problem;
    if (settings.upload.caPem.empty()) return "CAFile " + *value + " is empty";
  }
  return {};
}

}  // namespace

std::string readTrustedFile(const std::string& path, std::size_t maximumSize, std::string& content,
                            bool& missing) {
  missing = false;
  // The settings and the CA steer what root uploads and to whom: they and every
  // folder above them must be such that no other user could have written them
  // (platform/TrustedFile.h), reached without a link in any component.
  std::string absolute = path;
  if (!path.starts_with('/')) {
    std::string folder;
    if (platform::currentFolder(folder) != 0) return "cannot be examined: no current folder";
    absolute = folder + "/" + path;
  }
  platform::UniqueFileDescriptor file;
  const platform::TrustCheck check = platform::openTrustedFile(absolute, O_RDONLY, 0, file);
  if (check.fault == platform::TrustFault::Missing) {
    missing = true;
    return "no such file";
  }
  if (!check.ok()) return "is refused: " + check.describe();
  struct stat status {};
  if (fstat(file.get(), &status) != 0) return std::string("cannot be examined: ") + std::strerror(errno);
  if (static_cast<std::uint64_t>(status.st_size) > maximumSize) return "is too large";
  content.clear();
  char buffer[8192];
  while (true) {
    const ssize_t got = read(file.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::string("cannot be read: ") + std::strerror(errno);
    }
    if (got == 0) break;
    content.append(buffer, static_cast<std::size_t>(got));
    if (content.size() > maximumSize) return "is too large";
  }
  return {};
}

SettingsLoad loadSettings(const std::string& path) {
  SettingsLoad load;
  std::string text;
  bool missing = false;
  const auto problem = readTrustedFile(path, kMaximumSettingsSize, text, missing);
  if (missing) {
    load.ok = true;
    return load;
  }
  if (!problem.empty()) {
    load.problem = path + " " + problem;
    return load;
  }
  load.problem = applySettings(text, load.settings);
  if (!load.problem.empty()) load.problem = path + ": " + load.problem;
  load.ok = load.problem.empty();
  return load;
}

std::string settingsPathOfProgram() {
  std::string folder;
  if (platform::hostExecutableFolder(folder) != 0) return {};
  return folder + "/Sifter.ini";
}

}  // namespace sifter
