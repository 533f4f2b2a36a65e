#include "tools/ovrascan/LogCommand.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "foundation/VxFileLogLocation.h"
#include "foundation/VxFileLogSettings.h"
#include "foundation/VxProtectedIniValue.h"
#include "platform/FileSystem.h"
#include "platform/Utf16.h"
#include "platform/Utf8.h"
#include "tools/ovrascan/Diagnostics.h"

namespace {

constexpr wchar_t kLogName[] = L"PartnerCustom";
// A log file ends at most one line (4159 characters and the fields) above
// MaxSize (at most 512000 bytes); anything larger is not the log's and only its
// end is read.
constexpr std::size_t kMostBytesRead = 1u << 20;

struct CurrentLog {
  VxFileLogLocation location;
  VxFileLogSettings settings;
  std::uint32_t index = 0;
};

CurrentLog currentLog() {
  CurrentLog log;
  log.location = makeFileLogLocation(kLogName, L"", vxHostProgramName());
  log.settings = readFileLogSettings(log.location.globalSettingsFile, log.location.logSettingsFile, false);
  const std::uint32_t stored = readLastLogIndex(log.location.logSettingsFile);
  // An index beyond the rotation makes the next line go to file 000; a later
  // file written after the one the index names holds the newest lines (the
  // writer could not store its index).
  log.index = stored < log.settings.maxEntries ? stored : 0;
  platform::OpenFolder folder;
  if (log.location.openLogFolder(false, folder) == 0) {
    log.index = log.location.newestFileFrom(folder, log.index, log.settings.maxEntries);
  }
  return log;
}

std::string utf8(const std::wstring& text) { return platform::encodeUtf8(text.data(), text.size()); }

bool present(const std::string& path) {
  return platform::fileStatus(path, platform::LinkPolicy::DoNotFollow).kind == platform::FileKind::Regular;
}

// The lines of one log file (its end only, when it is too large), or none.
std::vector<std::wstring> readLines(const platform::OpenFolder& folder, const std::string& name) {
  platform::UniqueFileDescriptor fd;
  if (folder.openChildFileForReading(name, fd) != 0) return {};
  const off_t size = ::lseek(fd.get(), 0, SEEK_END);
  if (size < 0) return {};
  const off_t start = static_cast<std::size_t>(size) > kMostBytesRead ? size - static_cast<off_t>(kMostBytesRead) : 0;
  std::string bytes(static_cast<std::size_t>(size - start), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::pread(fd.get(), bytes.data() + got, bytes.size() - got, start + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got - got % 2);
  const std::size_t skip = start == 0 && bytes.starts_with("\xFF\xFE") ? 2 : 0;
  const std::wstring text = platform::decodeUtf16Le(bytes.data() + skip, bytes.size() - skip);
  std::vector<std::wstring> lines;
  std::size_t from = 0;
  while (from < text.size()) {
    std::size_t end = text.find(L'\n', from);
    if (end == std::wstring::npos) end = text.size();
    std::wstring line = text.substr(from, end - from);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    lines.push_back(std::move(line));
    from = end + 1;
  }
  // A file read from the middle starts inside a line: that part is not shown.
  if (start != 0 && !lines.empty()) lines.erase(lines.begin());
  return lines;
}

}  // namespace

namespace LogCommand {

int showSettings() {
  const CurrentLog log = currentLog();
  const VxFileLogLocation& where = log.location;
  const VxFileLogSettings& s = log.settings;
  const std::vector<VxFileLogUnusedValue> unused =
      unusedFileLogValues(where.globalSettingsFile, where.logSettingsFile);
  // A value line, followed by each value of that key the log does not use.
  const auto value = [&unused](const wchar_t* key, std::uint32_t number) {
    std::string line = utf8(key) + ":";
    line.resize(17, ' ');
    line += std::to_string(number) + "\n";
    for (const VxFileLogUnusedValue& entry : unused) {
      if (entry.key == key) line += "  not used: " + entry.file + ": " + entry.why + "\n";
    }
    return line;
  };
  std::string text;
  text += "Log folder:      " + where.logFolder + "\n";
  text += "Global settings: " + where.globalSettingsFile + (present(where.globalSettingsFile) ? "" : " (none)") + "\n";
  text += "Log settings:    " + where.logSettingsFile + (present(where.logSettingsFile) ? "" : " (none)") + "\n";
  text += value(L"Enable", s.enable);
  text += value(L"MaxSize", s.maxSize);
  text += value(L"MaxEntries", s.maxEntries);
  text += value(L"Severity", s.severity);
  text += value(L"Options", s.options);
  text += "Current log:     " + where.logFilePath(log.index) + (present(where.logFilePath(log.index)) ? "" : " (none yet)") + "\n";
  if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
    Diagnostics::error("cannot write to stdout");
    return 2;
  }
  return 0;
}

int setSetting(const std::string& key, std::uint32_t number, bool global) {
  const std::wstring wideKey(key.begin(), key.end());
  const VxFileLogSettingRange* range = fileLogSettingRange(wideKey);
  if (range == nullptr) {
    Diagnostics::error("unknown log setting '" + key + "' (Enable, MaxSize, MaxEntries, Severity or Options)");
    return 2;
  }
  if (number < range->lowest || number > range->highest) {
    Diagnostics::error("log setting " + key + " takes " + std::to_string(range->lowest) + " to " +
                       std::to_string(range->highest) + ", not " + std::to_string(number));
    return 2;
  }
  const VxFileLogLocation where = makeFileLogLocation(kLogName, L"", vxHostProgramName());
  platform::OpenFolder folder;
  const std::uint32_t opened = global ? where.openBaseFolder(true, folder) : where.openLogFolder(true, folder);
  const std::string& file = global ? where.globalSettingsFile : where.logSettingsFile;
  if (opened != 0) {
    Diagnostics::error("cannot make the folder of " + file + ": " + Diagnostics::codeText(opened));
    return 2;
  }
  if (const std::uint32_t error = CVxProtectedIniStore::writeNumber(file, kVxLogSettingsSection, wideKey, number);
      error != 0) {
    Diagnostics::error("cannot write " + key + " to " + file + ": " + Diagnostics::codeText(error));
    return 2;
  }
  std::printf("%s = %u in %s\n", key.c_str(), static_cast<unsigned>(number), file.c_str());
  return std::fflush(stdout) == 0 ? 0 : 2;
}

int showLines(std::uint32_t count) {
  const CurrentLog log = currentLog();
  platform::OpenFolder folder;
  if (log.location.openLogFolder(false, folder) != 0) {
    Diagnostics::error("no log at " + log.location.logFolder);
    return 2;
  }
  // Newest file first: the current one, then the one before it in the rotation.
  std::deque<std::wstring> newest;
  std::uint32_t index = log.index;
  for (std::uint32_t files = 0; files < log.settings.maxEntries && newest.size() < count; ++files) {
    const std::vector<std::wstring> lines = readLines(folder, log.location.logFileName(index));
    for (auto line = lines.rbegin(); line != lines.rend() && newest.size() < count; ++line) newest.push_front(*line);
    index = index == 0 ? log.settings.maxEntries - 1 : index - 1;
  }
  std::string text;
  for (const std::wstring& line : newest) text += utf8(line) + "\n";
  if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
    Diagnostics::error("cannot write to stdout");
    return 2;
  }
  return 0;
}

}  // namespace LogCommand
