#include "foundation/VxFileLogSettings.h"

#include "foundation/VxProtectedIniValue.h"
#include "platform/FileSystem.h"

namespace {

struct Rule {
  const wchar_t* key;
  std::uint32_t VxFileLogSettings::*field;
  std::uint32_t lowest;
  std::uint32_t highest;
};

constexpr Rule kRules[] = {
    {L"Enable", &VxFileLogSettings::enable, 0, UINT32_MAX},
    {L"MaxSize", &VxFileLogSettings::maxSize, 25600, 512000},
    {L"MaxEntries", &VxFileLogSettings::maxEntries, 2, 10},
    {L"Severity", &VxFileLogSettings::severity, 0, 5},
    {L"Options", &VxFileLogSettings::options, 0, UINT32_MAX},
};

bool exists(const std::string& file) {
  return platform::fileStatus(file, platform::LinkPolicy::DoNotFollow).kind != platform::FileKind::Missing;
}

void applyFile(const std::string& file, const Rule& rule, VxFileLogSettings& settings, bool rewrite) {
  const VxNAResult<VxProtectedIniValue> read = CVxProtectedIniStore::read(file, kVxLogSettingsSection, rule.key);
  if (!read || !read.value.isNumber()) return;
  const std::uint32_t value = read.value.number();
  if (value >= rule.lowest && value <= rule.highest) {
    settings.*rule.field = value;
  } else if (rewrite) {
    CVxProtectedIniStore::writeNumber(file, kVxLogSettingsSection, rule.key, settings.*rule.field);
  }
}

}  // namespace

VxFileLogSettings readFileLogSettings(const std::string& globalFile, const std::string& logFile, bool rewrite) {
  VxFileLogSettings settings;
  const bool haveGlobal = exists(globalFile);
  const bool haveLog = exists(logFile);
  for (const Rule& rule : kRules) {
    if (haveGlobal) applyFile(globalFile, rule, settings, rewrite);
    if (haveLog) applyFile(logFile, rule, settings, rewrite);
  }
  return settings;
}

std::uint32_t readLastLogIndex(const std::string& logFile) {
  const VxNAResult<VxProtectedIniValue> read = CVxProtectedIniStore::read(logFile, kVxLogSettingsSection, L"LastLogIdx");
  return read && read.value.isNumber() ? read.value.number() : 0;
}

std::uint32_t writeLastLogIndex(const std::string& logFile, std::uint32_t index) {
  return CVxProtectedIniStore::writeNumber(logFile, kVxLogSettingsSection, L"LastLogIdx", index);
}
