#include "tools/ovrascan/DataSetFiles.h"

#include "engine/VxAVEngineABI.h"
#include "foundation/VxErrorCodes.h"
#include "platform/PrivateProfile.h"
#include "platform/Utf8.h"

namespace {

constexpr char kIniName[] = "AVScanner.ini";
constexpr std::uint32_t kValueBufferSize = 1024;

std::string dataFile(const std::string& hostFolder, const wchar_t* key) {
  std::wstring name;
  platform::readPrivateProfileString(hostFolder + "/" + kIniName, L"coredatset", key, L"", kValueBufferSize, name);
  return hostFolder + "/" + platform::encodeUtf8(name.data(), name.size());
}

}  // namespace

namespace DataSetFiles {

std::string concerned(const std::string& hostFolder, std::uint32_t code) {
  constexpr std::uint32_t kLastEngineCode = 0x4203FFFFu;
  if (code < VX_E_ENGINE_STATUS_BASE || code > kLastEngineCode) return {};
  const std::uint32_t status = code - VX_E_ENGINE_STATUS_BASE;
  if ((status & ~0xFFu) == AV_STATUS_DATA_FILE_BASE) {
    switch ((status >> 4) & 0xFu) {
      case AV_DATA_FILE_NAMES: return "data file " + dataFile(hostFolder, L"av_names");
      case AV_DATA_FILE_SCAN: return "data file " + dataFile(hostFolder, L"av_scan");
      case AV_DATA_FILE_CLEAN: return "data file " + dataFile(hostFolder, L"av_clean");
      case AV_DATA_FILE_SETTINGS: return "settings file " + hostFolder + "/" + kIniName;
      default: break;
    }
  }
  switch (status & ~AV_STATUS_MALFORMED_LINE_MAX) {
    case AV_STATUS_NAMES_MALFORMED: return "data file " + dataFile(hostFolder, L"av_names");
    case AV_STATUS_SCAN_MALFORMED: return "data file " + dataFile(hostFolder, L"av_scan");
    case AV_STATUS_CLEAN_MALFORMED: return "data file " + dataFile(hostFolder, L"av_clean");
    default: break;
  }
  if (status != AV_STATUS_DATA_MISSING && status != AV_STATUS_ENGINE_FAILURE) return {};
  return "data set " + hostFolder + "/" + kIniName + ": " + dataFile(hostFolder, L"av_names") + ", " +
         dataFile(hostFolder, L"av_scan") + ", " + dataFile(hostFolder, L"av_clean");
}

}  // namespace DataSetFiles
