#include "qelda/QeldaCacheSettings.h"

#include "engine/VxAVEngineABI.h"
#include "qelda/QeldaTrustedDataFile.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <sstream>

namespace qelda {
namespace {

constexpr std::size_t kLargestSettings = 64 * 1024;

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

bool meansOff(const std::string& value) {
  return sameName(value, "0") || sameName(value, "no") || sameName(value, "off") || sameName(value, "false");
}

// The settings file's text; empty when there is none. A file another user could
// have written is refused with its AV_DATA_FILE_* reason.
std::string settingsText(const std::string& engineFolder, std::uint16_t& refused) {
  refused = 0;
  if (engineFolder.empty()) return {};
  Fd file;
  struct stat info {};
  const std::uint16_t reason = openTrustedDataFile(engineFolder + "/AVScanner.ini", file, info);
  if (reason == AV_DATA_FILE_MISSING) return {};
  if (reason != 0) {
    refused = reason;
    return {};
  }
  std::string text(kLargestSettings, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(file.get(), text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  text.resize(got);
  return text;
}

}  // namespace

std::string iniValue(const std::string& text, const std::string& section, const std::string& key,
                     const std::string& fallback) {
  std::istringstream lines(text);
  std::string line;
  bool inSection = false;
  while (std::getline(lines, line)) {
    line = trimmed(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const auto close = line.find(']');
      inSection = close != std::string::npos && sameName(trimmed(line.substr(1, close - 1)), section);
      continue;
    }
    const auto equals = line.find('=');
    if (inSection && equals != std::string::npos && sameName(trimmed(line.substr(0, equals)), key)) {
      std::string value = line.substr(equals + 1);
      if (const auto comment = value.find(';'); comment != std::string::npos) value.erase(comment);
      return trimmed(value);
    }
  }
  return fallback;
}

CacheSettings readCacheSettings(const std::string& engineFolder, std::uint16_t& refused) {
  CacheSettings settings;
  const std::string text = settingsText(engineFolder, refused);
  settings.enabled = !meansOff(iniValue(text, "cache", "enabled", "1"));
  const std::string settle = iniValue(text, "cache", "settle_ms", "");
  std::int64_t milliseconds = 0;
  const auto parsed = std::from_chars(settle.data(), settle.data() + settle.size(), milliseconds);
  if (!settle.empty() && parsed.ec == std::errc{} && milliseconds >= 0 && milliseconds <= 86'400'000) {
    settings.settleNs = milliseconds * 1'000'000;
  }
  const char* knob = std::getenv("VX_SCAN_CACHE");
  if (knob != nullptr && meansOff(knob)) settings.enabled = false;
  return settings;
}

}  // namespace qelda
