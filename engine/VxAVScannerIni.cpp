#include "engine/VxAVScannerIni.h"

#include <algorithm>
#include <limits>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxNATypeConversion.h"
#include "platform/ModulePath.h"
#include "platform/PrivateProfile.h"

namespace {

constexpr std::uint32_t kValueBufferSize = 1024;
// A value of 1022 or more characters is taken for one that did not fit.
constexpr std::uint32_t kLongestValue = 1021;

std::string dataSetPath(const std::string& hostFolder, const wchar_t* key) {
  const std::wstring name = readAVScannerIniValue(hostFolder, L"coredatset", key).value_or(L"");
  return hostFolder + "/" + VxNATypeConversion::wideBufferToAnsiString(name);
}

std::uint32_t readNumber(const std::string& hostFolder, const wchar_t* key,
                         std::uint32_t defaultValue) {
  const std::optional<std::wstring> value = readAVScannerIniValue(hostFolder, L"product", key);
  return value ? static_cast<std::uint32_t>(parseSignedDecimal(*value)) : defaultValue;
}

}  // namespace

VxNAResult<std::string> findHostFolder() {
  std::string folder;
  if (platform::hostExecutableFolder(folder) != 0 || folder.empty()) {
    return VxNAFail(ERROR_FUNCTION_FAILED);
  }
  return folder;
}

std::string avScannerIniPath(const std::string& hostFolder) {
  return hostFolder + "/" + kAVScannerIniName;
}

std::optional<std::wstring> readAVScannerIniValue(const std::string& hostFolder,
                                                  const std::wstring& section,
                                                  const std::wstring& key) {
  std::wstring value;
  const std::uint32_t length = platform::readPrivateProfileString(
      avScannerIniPath(hostFolder), section, key, L"", kValueBufferSize, value);
  if (length < 1 || length > kLongestValue) return std::nullopt;
  return value;
}

std::int32_t parseSignedDecimal(const std::wstring& text) {
  // Read in the narrow form, as the settings are, so that only ASCII digits count.
  const std::string narrow = VxNATypeConversion::wideBufferToAnsiString(text);
  std::size_t i = 0;
  while (i < narrow.size() && (narrow[i] == ' ' || (narrow[i] >= '\t' && narrow[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < narrow.size() && (narrow[i] == '+' || narrow[i] == '-')) negative = narrow[i++] == '-';
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; i < narrow.size() && narrow[i] >= '0' && narrow[i] <= '9'; ++i) {
    magnitude = std::min<std::int64_t>(magnitude * 10 + (narrow[i] - '0'), kLimit);
  }
  const std::int64_t number = negative ? -magnitude : magnitude;
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(number, std::numeric_limits<std::int32_t>::min(),
                               std::numeric_limits<std::int32_t>::max()));
}

void readProductInfo(const std::string& hostFolder, VxAVEngineSettings& settings) {
  settings.productId = readNumber(hostFolder, L"product_id", 0);
  settings.productLocale = readNumber(hostFolder, L"product_locale", 1033);
}

void readDataSetPaths(const std::string& hostFolder, VxAVEngineSettings& settings) {
  settings.engineFolder = hostFolder;
  settings.namesPath = dataSetPath(hostFolder, L"av_names");
  settings.scanPath = dataSetPath(hostFolder, L"av_scan");
  settings.cleanPath = dataSetPath(hostFolder, L"av_clean");
}
