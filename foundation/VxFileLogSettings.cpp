#include "foundation/VxFileLogSettings.h"

#include "foundation/VxErrorCodes.h"
#include "foundation/VxProtectedIniValue.h"
#include "platform/FileSystem.h"

namespace {

struct Rule {
  VxFileLogSettingRange range;
  std::uint32_t VxFileLogSettings::*field;
};

constexpr Rule kRules[] = {
    {{L"Enable", 0, UINT32_MAX}, &VxFileLogSettings::enable},
    {{L"MaxSize", 25600, 512000}, &VxFileLogSettings::maxSize},
    {{L"MaxEntries", 2, 10}, &VxFileLogSettings::maxEntries},
    {{L"Severity", 0, 5}, &VxFileLogSettings::severity},
    {{L"Options", 0, UINT32_MAX}, &VxFileLogSettings::options},
};

// Why a value as read is not used; empty when it is.
std::string unusedBecause(const VxNAResult<VxProtectedIniValue>& read, const VxFileLogSettingRange& range) {
  if (!read) {
    if (read.error == ERROR_INVALID_DATA) return "damaged: it fails its checks";
    if (read.error == VX_E_CIPHER_SETUP) return "cannot be checked: no MD5 from OpenSSL";
    return "cannot be read (error " + std::to_string(read.error) + ")";
  }
  if (read.value.type == kVxValueTypeText) {
    return read.value.text.empty() ? std::string() : "plain text, not enciphered";
  }
  if (!read.value.isNumber()) return "of type " + std::to_string(read.value.type) + ", not a number";
  const std::uint32_t value = read.value.number();
  if (value < range.lowest || value > range.highest) {
    return std::to_string(value) + " is outside " + std::to_string(range.lowest) + ".." + std::to_string(range.highest);
  }
  return {};
}

bool exists(const std::string& file) {
  return platform::fileStatus(file, platform::LinkPolicy::DoNotFollow).kind != platform::FileKind::Missing;
}

void applyFile(const std::string& file, const Rule& rule, VxFileLogSettings& settings, bool rewrite) {
  const VxNAResult<VxProtectedIniValue> read =
      CVxProtectedIniStore::read(file, kVxLogSettingsSection, rule.range.key);
  if (!read || !read.value.isNumber()) return;
  const std::uint32_t value = read.value.number();
  if (value >= rule.range.lowest && value <= rule.range.highest) {
    settings.*rule.field = value;
  } else if (rewrite) {
    CVxProtectedIniStore::writeNumber(file, kVxLogSettingsSection, rule.range.key, settings.*rule.field);
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

const VxFileLogSettingRange* fileLogSettingRange(std::wstring_view key) {
  for (const Rule& rule : kRules) {
    if (key == rule.range.key) return &rule.range;
  }
  return nullptr;
}

std::vector<VxFileLogUnusedValue> unusedFileLogValues(const std::string& globalFile, const std::string& logFile) {
  std::vector<VxFileLogUnusedValue> unused;
  for (const Rule& rule : kRules) {
    for (const std::string* file : {&globalFile, &logFile}) {
      if (!exists(*file)) continue;
      const std::string why =
          unusedBecause(CVxProtectedIniStore::read(*file, kVxLogSettingsSection, rule.range.key), rule.range);
      if (!why.empty()) unused.push_back({rule.range.key, *file, why});
    }
  }
  return unused;
}

std::uint32_t readLastLogIndex(const std::string& logFile) {
  const VxNAResult<VxProtectedIniValue> read = CVxProtectedIniStore::read(logFile, kVxLogSettingsSection, L"LastLogIdx");
  return read && read.value.isNumber() ? read.value.number() : 0;
}

std::uint32_t writeLastLogIndex(const std::string& logFile, std::uint32_t index) {
  return CVxProtectedIniStore::writeNumber(logFile, kVxLogSettingsSection, L"LastLogIdx", index);
}
