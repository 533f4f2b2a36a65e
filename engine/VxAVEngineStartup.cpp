#include "engine/VxAVEngineStartup.h"

#include "engine/VxAVEngineConfig.h"
#include "engine/VxAVScannerIni.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"

namespace {

constexpr wchar_t kLogSource[] = L"VxAVScannerKernel";
constexpr wchar_t kFunction[] = L"CVxAVScannerKernel::getAVEngine";

VxNAResult<> configure(CVxAVEngineConfig& config, const VxAVEngineSettings& settings) {
  VxNAResult<> step = config.setEngineFolder(settings.engineFolder);
  if (step) step = config.setProductInfo(settings.productId, settings.productLocale);
  if (step) step = config.setDataSetFiles(settings.namesPath, settings.scanPath, settings.cleanPath);
  if (step) step = config.Initialize();
  return step;
}

}  // namespace

VxNAResult<std::shared_ptr<IVxAVEngine>> getAVEngine() {
  const VxNAResult<std::string> hostFolder = findHostFolder();
  if (!hostFolder) return VxNAFail(hostFolder.error);
  return getAVEngine(hostFolder.value);
}

VxNAResult<std::shared_ptr<IVxAVEngine>> getAVEngine(const std::string& hostFolder) {
  if (hostFolder.empty()) return VxNAFail(ERROR_FUNCTION_FAILED);
  VxAVEngineSettings settings;
  readProductInfo(hostFolder, settings);
  VX_LOG(VX_LOG_NORMAL, kFunction)
      << L"CVxAVScannerKernel::getAVEngine - Product ID: " << settings.productId;
  VX_LOG(VX_LOG_NORMAL, kFunction)
      << L"CVxAVScannerKernel::getAVEngine - Product Locale: " << settings.productLocale;
  readDataSetPaths(hostFolder, settings);

  const VxNAResult<std::shared_ptr<CVxAVEngineConfig>> config = CVxAVEngineConfig::create();
  if (!config) return VxNAFail(config.error);
  if (!config.value) return VxNAFail(ERROR_FUNCTION_FAILED);
  const VxNAResult<> configured = configure(*config.value, settings);
  if (!configured) return VxNAFail(configured.error);
  VxNAResult<std::shared_ptr<IVxAVEngine>> engine = config.value->getEngine();
  if (!engine) return engine;
  if (!engine.value) return VxNAFail(ERROR_FUNCTION_FAILED);
  return engine;
}
