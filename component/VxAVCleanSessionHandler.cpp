#include "component/VxAVCleanSessionHandler.h"

#include <algorithm>
#include <array>
#include <utility>
#include <vector>

#include "engine/VxAVScannerIni.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "foundation/VxNATypeConversion.h"
#include "foundation/VxProtectedRegistryValue.h"
#include "platform/PrivateProfile.h"

namespace {

constexpr wchar_t kLogSource[] = L"VxAVCleanSessionHandler";
constexpr char kCountName[] = "CleanCount";
constexpr char kPersistName[] = "CleanCountPersist";
constexpr std::uint32_t kValueBufferSize = 1024;
constexpr std::uint32_t kLongestValue = 1021;
// Stands for a missing key: no settings value can hold this character.
constexpr wchar_t kMissing[] = L"\x1";

std::uint32_t dwordOf(const std::array<std::uint8_t, 4>& bytes) {
  return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
         std::uint32_t{bytes[3]} << 24;
}

std::vector<std::uint8_t> dwordBytes(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// One value of section "product": 13 when missing or too long; an empty one is
// returned empty.
VxNAResult<std::wstring> readProductValue(const std::string& folder, const wchar_t* key) {
  std::wstring value;
  const std::uint32_t length = platform::readPrivateProfileString(avScannerIniPath(folder), L"product", key,
                                                                  kMissing, kValueBufferSize, value);
  if (value == kMissing || length > kLongestValue) return VxNAFail(ERROR_INVALID_DATA);
  return value;
}

}  // namespace

CVxAVCleanSessionHandler::SettingsFolderSource CVxAVCleanSessionHandler::hostSettingsFolder() {
  return [] { return findHostFolder(); };
}

CVxAVCleanSessionHandler::CVxAVCleanSessionHandler(SettingsFolderSource settingsFolder, platform::Registry registry)
    : settingsFolder_(std::move(settingsFolder)), registry_(std::move(registry)) {}

VxNAResult<> CVxAVCleanSessionHandler::getRegistryLocation(std::string& location) const {
  constexpr const wchar_t* kFunction = L"CVxAVCleanSessionHandler::getRegistryLocation";
  const auto folder = settingsFolder_();
  if (!folder) return VxNAFail(ERROR_FUNCTION_FAILED);
  const auto name = readProductValue(folder.value, L"product_name");
  if (!name) return VxNAFail(name.error);
  if (name.value.empty()) {
    VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - getProductName failed";
    return VxNAFail(ERROR_FUNCTION_FAILED);
  }
  const auto affid = readProductValue(folder.value, L"product_affid");
  if (!affid) return VxNAFail(affid.error);
  if (affid.value.empty()) {
    VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - getProductAffid failed";
    return VxNAFail(ERROR_FUNCTION_FAILED);
  }
  location = VxNATypeConversion::wideBufferToAnsiString(L"Software\\Vexora\\" + name.value + L"\\" + affid.value);
  return VxNASuccess();
}

VxNAResult<std::string> CVxAVCleanSessionHandler::location(const wchar_t* function, const wchar_t* failedText) const {
  std::string path;
  if (auto found = getRegistryLocation(path); !found) return VxNAFail(found.error);
  if (path.empty()) {
    VX_LOG(VX_LOG_WARNING, function) << failedText;
    return VxNAFail(ERROR_FUNCTION_FAILED);
  }
  return path;
}

VxNAResult<std::uint32_t> CVxAVCleanSessionHandler::getCleanSessionCount() const {
  constexpr const wchar_t* kFunction = L"CVxAVCleanSessionHandler::getCleanSessionCount";
  const auto where = location(kFunction, L"CVxAVCleanSessionHandler::getCleanSessionCount - getRegistryLocation failed");
  if (!where) return VxNAFail(where.error);
  std::array<std::uint8_t, 4> buffer{};
  const auto read = VxRegReadValue(registry_, where.value, kCountName, buffer);
  if (!read || read.value.size < buffer.size()) {
    VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - VxRegReadValue failed";
    return VxNAFail(read ? ERROR_FUNCTION_FAILED : read.error);
  }
  const std::uint32_t count = std::min(dwordOf(buffer), kMaximumCount);
  VX_LOG(VX_LOG_NORMAL, kFunction) << kFunction << L" - dwCleanSessionCount = " << count;
  return count;
}

VxNAResult<bool> CVxAVCleanSessionHandler::getPersistAfterUninstall() const {
  constexpr const wchar_t* kFunction = L"CVxAVCleanSessionHandler::getPersistAfterUninstall";
  const auto where =
      location(kFunction, L"CVxAVCleanSessionHandler::getPersistAfterUninstall - getRegistryLocation failed");
  if (!where) return VxNAFail(where.error);
  std::array<std::uint8_t, 4> buffer{};
  const auto read = VxRegReadValue(registry_, where.value, kPersistName, buffer);
  if (!read || read.value.size < buffer.size()) {
    VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - VxRegReadValue failed";
    return VxNAFail(read ? ERROR_FUNCTION_FAILED : read.error);
  }
  const bool persist = dwordOf(buffer) == 1;
  VX_LOG(VX_LOG_NORMAL, kFunction) << kFunction << L" - bPersistAfterUninstall = " << (persist ? 1 : 0);
  return persist;
}

VxNAResult<> CVxAVCleanSessionHandler::writeDword(const char* name, std::uint32_t value, const wchar_t* function,
                                                  const wchar_t* locationFailedText, const wchar_t* failedText) const {
  const auto where = location(function, locationFailedText);
  if (!where) return VxNAFail(where.error);
  if (const auto written = VxRegWriteValue(registry_, where.value, name, platform::kRegDword, dwordBytes(value));
      !written) {
    VX_LOG(VX_LOG_WARNING, function) << failedText;
    return VxNAFail(written.error == VX_E_CIPHER_SETUP ? VX_E_CIPHER_SETUP : ERROR_FUNCTION_FAILED);
  }
  return VxNASuccess();
}

VxNAResult<> CVxAVCleanSessionHandler::setCleanSessionCount(std::uint32_t count) const {
  constexpr const wchar_t* kFunction = L"CVxAVCleanSessionHandler::setCleanSessionCount";
  const std::uint32_t capped = std::min(count, kMaximumCount);
  VX_LOG(VX_LOG_NORMAL, kFunction) << kFunction << L" - dwCleanSessionCount = " << capped;
  return writeDword(kCountName, capped, kFunction,
                    L"CVxAVCleanSessionHandler::setCleanSessionCount - getRegistryLocation failed",
                    L"CVxAVCleanSessionHandler::setCleanSessionCount - VxRegWriteValue failed");
}

VxNAResult<> CVxAVCleanSessionHandler::setPersistAfterUninstall(bool persist) const {
  constexpr const wchar_t* kFunction = L"CVxAVCleanSessionHandler::setPersistAfterUninstall";
  VX_LOG(VX_LOG_NORMAL, kFunction) << kFunction << L" - bPersist = " << (persist ? 1 : 0);
  return writeDword(kPersistName, persist ? 1 : 0, kFunction,
                    L"CVxAVCleanSessionHandler::setPersistAfterUninstall - getRegistryLocation failed",
                    L"CVxAVCleanSessionHandler::setPersistAfterUninstall - VxRegWriteValue failed");
}

VxNAResult<std::uint32_t> CVxAVCleanSessionHandler::incrementCleanSessionCount(IncrementStep& failedStep) const {
  constexpr const wchar_t* kFunction = L"CVxAVCleanSessionHandler::incrementCleanSessionCount";
  failedStep = IncrementStep::Read;
  const auto where =
      location(kFunction, L"CVxAVCleanSessionHandler::incrementCleanSessionCount - getRegistryLocation failed");
  if (!where) return VxNAFail(where.error);

  std::array<std::uint8_t, 4> buffer{};
  std::uint32_t readError = 0;
  std::uint32_t previous = 0;
  const auto updated = VxRegUpdateValue(
      registry_, where.value, kCountName, buffer,
      [&](const VxNAResult<VxRegPayload>& current, std::uint32_t& type, std::vector<std::uint8_t>& payload) {
        if (!current && current.error != ERROR_FILE_NOT_FOUND) readError = current.error;
        else if (current && current.value.size < buffer.size()) readError = ERROR_FUNCTION_FAILED;
        if (readError != 0) return readError;  // a damaged count is reported, never overwritten
        previous = current ? std::min(dwordOf(buffer), kMaximumCount) : 0;
        type = platform::kRegDword;
        payload = dwordBytes(std::min(previous + 1, kMaximumCount));
        return 0u;
      });
  if (readError != 0) {
    VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - VxRegReadValue failed";
    return VxNAFail(readError);
  }
  if (!updated && updated.error == VX_E_CIPHER_SETUP) {
    failedStep = IncrementStep::Write;
    VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - VxRegWriteValue failed";
    return VxNAFail(VX_E_CIPHER_SETUP);
  }
  if (!updated) {
    // The registry failed around the change; a reader that cannot read either
    // reports its own failure, as reading and writing apart would.
    if (const auto count = getCleanSessionCount(); !count && count.error != ERROR_FILE_NOT_FOUND) {
      return VxNAFail(count.error);
    }
    failedStep = IncrementStep::Write;
    VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - VxRegWriteValue failed";
    return VxNAFail(ERROR_FUNCTION_FAILED);
  }
  VX_LOG(VX_LOG_NORMAL, kFunction) << kFunction << L" - dwCleanSessionCount = "
                                   << std::min(previous + 1, kMaximumCount);
  return previous;
}
