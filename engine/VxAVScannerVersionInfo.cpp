#include "engine/VxAVScannerVersionInfo.h"

#include <new>
#include <optional>
#include <utility>

#include "engine/VxAVEngineConfig.h"
#include "engine/VxAVScannerIni.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "foundation/VxNATypeConversion.h"
#include "platform/ModuleVersion.h"

namespace {

constexpr wchar_t kLogSource[] = L"VxAVScannerKernel";
constexpr wchar_t kFunction[] = L"CVxAVScannerKernel::getAVScannerVersionInfo";

// Each 16-bit part in decimal, most significant first.
std::wstring fileVersionText(const platform::ModuleVersionRecord& record) {
  return std::to_wstring(record.fileVersionMS >> 16) + L"." +
         std::to_wstring(record.fileVersionMS & 0xFFFF) + L"." +
         std::to_wstring(record.fileVersionLS >> 16) + L"." +
         std::to_wstring(record.fileVersionLS & 0xFFFF);
}

std::wstring pairText(std::uint32_t first, std::uint32_t second) {
  return std::to_wstring(first) + L"." + std::to_wstring(second);
}

}  // namespace

CVxAVScannerVersionInfo::CVxAVScannerVersionInfo(std::uint32_t productId,
                                                 std::uint32_t productLocale,
                                                 std::string engineFolder, std::string namesPath,
                                                 std::string scanPath, std::string cleanPath)
    : productId_(productId),
      productLocale_(productLocale),
      engineFolder_(std::move(engineFolder)),
      namesPath_(std::move(namesPath)),
      scanPath_(std::move(scanPath)),
      cleanPath_(std::move(cleanPath)) {}

VxNAResult<> CVxAVScannerVersionInfo::getComponentVersion(std::wstring& version) {
  return getVersion(&CVxAVScannerVersionInfo::componentVersion_, version);
}

VxNAResult<> CVxAVScannerVersionInfo::getEngineVersion(std::wstring& version) {
  return getVersion(&CVxAVScannerVersionInfo::engineVersion_, version);
}

VxNAResult<> CVxAVScannerVersionInfo::getDataSetVersion(std::wstring& version) {
  return getVersion(&CVxAVScannerVersionInfo::dataSetVersion_, version);
}

VxNAResult<> CVxAVScannerVersionInfo::getVersion(
    const std::wstring CVxAVScannerVersionInfo::*text, std::wstring& version) {
  if (copyWhenComputed(text, version)) return VxNASuccess();
  // Computed without the lock: starting the private engine and reading the module
  // must not hold up the other getters longer than needed.
  const VxNAResult<> computed = computeAll();
  if (!computed) return computed;
  if (copyWhenComputed(text, version)) return VxNASuccess();
  return VxNAFail(ERROR_FUNCTION_FAILED);
}

bool CVxAVScannerVersionInfo::copyWhenComputed(const std::wstring CVxAVScannerVersionInfo::*text,
                                               std::wstring& version) {
  const platform::RecursiveLock guard(lock_);
  if (!computed_) return false;
  version = this->*text;
  return true;
}

void CVxAVScannerVersionInfo::store(std::wstring CVxAVScannerVersionInfo::*text,
                                    std::wstring value) {
  const platform::RecursiveLock guard(lock_);
  this->*text = std::move(value);
}

VxNAResult<> CVxAVScannerVersionInfo::computeAll() {
  const VxNAResult<> component = computeComponentVersion();
  if (!component) return component;

  const VxNAResult<std::shared_ptr<CVxAVEngineInitResults>> results = privateEngineResults();
  if (!results) return VxNAFail(results.error);
  store(&CVxAVScannerVersionInfo::engineVersion_,
        pairText(results.value->engineVersionMajor(), results.value->engineVersionMinor()));
  store(&CVxAVScannerVersionInfo::dataSetVersion_,
        pairText(results.value->dataSetVersionMajor(), results.value->dataSetVersionMinor()));

  const platform::RecursiveLock guard(lock_);
  computed_ = true;
  return VxNASuccess();
}

VxNAResult<> CVxAVScannerVersionInfo::computeComponentVersion() {
  if (engineFolder_.empty()) return VxNAFail(ERROR_FUNCTION_FAILED);
  const std::optional<std::wstring> configured =
      readAVScannerIniValue(engineFolder_, L"component", L"component_name");
  const std::string moduleName = configured
                                     ? VxNATypeConversion::wideBufferToAnsiString(*configured)
                                     : std::string(kDefaultComponentName);
  platform::ModuleVersionRecord record{};
  const std::uint32_t error = platform::loadedModuleVersion(moduleName, record);
  if (error != 0) return VxNAFail(error);
  store(&CVxAVScannerVersionInfo::componentVersion_, fileVersionText(record));
  return VxNASuccess();
}

VxNAResult<std::shared_ptr<CVxAVEngineInitResults>>
CVxAVScannerVersionInfo::privateEngineResults() {
  std::shared_ptr<IVxAVEngineConfig> engine;
  {
    // Started under the lock, so that concurrent first requests share one engine.
    const platform::RecursiveLock guard(lock_);
    if (!privateEngine_) {
      VxNAResult<std::shared_ptr<IVxAVEngineConfig>> started = startPrivateEngine();
      if (!started) return VxNAFail(started.error);
      privateEngine_ = std::move(started.value);
    }
    engine = privateEngine_;
  }
  VxNAResult<std::shared_ptr<CVxAVEngineInitResults>> results = engine->getInitResults();
  if (results && !results.value) return VxNAFail(ERROR_FUNCTION_FAILED);
  return results;
}

VxNAResult<std::shared_ptr<IVxAVEngineConfig>> CVxAVScannerVersionInfo::startPrivateEngine()
    const {
  const VxNAResult<std::shared_ptr<CVxAVEngineConfig>> created = CVxAVEngineConfig::create();
  if (!created) return VxNAFail(created.error);
  if (!created.value) return VxNAFail(ERROR_FUNCTION_FAILED);
  CVxAVEngineConfig& config = *created.value;
  VxNAResult<> step = config.setProductInfo(productId_, productLocale_);
  if (step) step = config.setEngineFolder(engineFolder_);
  if (step) step = config.setDataSetFiles(namesPath_, scanPath_, cleanPath_);
  if (step) step = config.setVersionQuery(true);
  if (step) step = config.Initialize();
  // A configuration that failed to start is dropped here; the next request starts
  // a fresh one.
  if (!step) return VxNAFail(step.error);
  return std::shared_ptr<IVxAVEngineConfig>(created.value);
}

VxNAResult<std::shared_ptr<IVxAVScannerVersionInfo>> getAVScannerVersionInfo() {
  const VxNAResult<std::string> hostFolder = findHostFolder();
  if (!hostFolder) return VxNAFail(hostFolder.error);
  return getAVScannerVersionInfo(hostFolder.value);
}

VxNAResult<std::shared_ptr<IVxAVScannerVersionInfo>> getAVScannerVersionInfo(
    const std::string& hostFolder) {
  if (hostFolder.empty()) return VxNAFail(ERROR_FUNCTION_FAILED);
  VxAVEngineSettings settings;
  readProductInfo(hostFolder, settings);
  VX_LOG(VX_LOG_NORMAL, kFunction)
      << L"CVxAVScannerKernel::getAVScannerVersionInfo - Product ID: " << settings.productId;
  VX_LOG(VX_LOG_NORMAL, kFunction)
      << L"CVxAVScannerKernel::getAVScannerVersionInfo - Product Locale: "
      << settings.productLocale;
  readDataSetPaths(hostFolder, settings);

  try {
    return std::shared_ptr<IVxAVScannerVersionInfo>(std::make_shared<CVxAVScannerVersionInfo>(
        settings.productId, settings.productLocale, settings.engineFolder, settings.namesPath,
        settings.scanPath, settings.cleanPath));
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  }
}
