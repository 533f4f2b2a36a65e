#include "engine/VxAVEngineConfig.h"

#include <array>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "engine/VxAVEngineLibrary.h"
#include "engine/VxAVEngineStatus.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"

namespace {

constexpr wchar_t kLogSource[] = L"VxAVEngineConfig";
constexpr wchar_t kInitializeFunction[] = L"CVxAVEngineConfig::Initialize";

AV_SINGLEPARAMETER parameter(std::uint16_t code, std::uint32_t length, std::uint64_t value) {
  return AV_SINGLEPARAMETER{sizeof(AV_SINGLEPARAMETER), code, length, value};
}

// Everything the parameter block points to; it must outlive the AVInitialise call.
struct StartupRecords {
  std::array<const char*, 3> dataSetPaths{};
  AV_DATASETFILES dataSetFiles{};
  AV_PRODUCTINFO productInfo{};
  std::vector<AV_SINGLEPARAMETER> parameters;
};

}  // namespace

VxNAResult<std::shared_ptr<CVxAVEngineConfig>> CVxAVEngineConfig::create() {
  std::shared_ptr<CVxAVEngineConfig> config;
  try {
    config = std::make_shared<CVxAVEngineConfig>(ConstructionKey{});
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  }
  config->self_ = config;
  return config;
}

CVxAVEngineConfig::CVxAVEngineConfig(ConstructionKey) {
  initialisation_.size = sizeof(AV_INITIALISATION);
}

CVxAVEngineConfig::~CVxAVEngineConfig() {
  if (started_) engine_.AVClose(initialisation_.engineHandle);
}

VxNAResult<> CVxAVEngineConfig::checkSettable() const {
  if (requestedCodes_.size() >= kMaxParameterCodes) return VxNAFail(VX_E_TOO_MANY_PARAMETERS);
  if (started_) return VxNAFail(VX_E_ALREADY_INITIALIZED);
  return VxNASuccess();
}

VxNAResult<> CVxAVEngineConfig::requestParameter(std::uint16_t code) {
  const VxNAResult<> settable = checkSettable();
  if (!settable) return settable;
  requestedCodes_.insert(code);
  return VxNASuccess();
}

VxNAResult<> CVxAVEngineConfig::setProductInfo(std::uint32_t productId,
                                               std::uint32_t productLocale) {
  const VxNAResult<> settable = checkSettable();
  if (!settable) return settable;
  productId_ = productId;
  productLocale_ = productLocale;
  return requestParameter(AV_PARAM_PRODUCT_INFO);
}

VxNAResult<> CVxAVEngineConfig::setEngineFolder(const std::string& folder) {
  const VxNAResult<> settable = checkSettable();
  if (!settable) return settable;
  engineFolder_ = folder;
  return requestParameter(AV_PARAM_ENGINE_FOLDER);
}

VxNAResult<> CVxAVEngineConfig::setDataSetFiles(const std::string& namesPath,
                                                const std::string& scanPath,
                                                const std::string& cleanPath) {
  const VxNAResult<> settable = checkSettable();
  if (!settable) return settable;
  namesPath_ = namesPath;
  scanPath_ = scanPath;
  cleanPath_ = cleanPath;
  return requestParameter(AV_PARAM_DATASET_FILES);
}

VxNAResult<> CVxAVEngineConfig::setVersionQuery(bool versionQuery) {
  const VxNAResult<> settable = checkSettable();
  if (!settable) return settable;
  if (!versionQuery) return VxNASuccess();
  versionQuery_ = true;
  return requestParameter(AV_PARAM_VERSION_QUERY);
}

VxNAResult<> CVxAVEngineConfig::Initialize() {
  if (started_) return VxNAFail(VX_E_ALREADY_INITIALIZED);
  for (const std::uint16_t code : {AV_PARAM_INTERFACE_VERSION, AV_PARAM_CALLBACK}) {
    const VxNAResult<> requested = requestParameter(static_cast<std::uint16_t>(code));
    if (!requested) return requested;
  }

  StartupRecords records;
  try {
    // Parameter 100 brings 101 along, so the block may hold one more than the codes.
    records.parameters.reserve(kMaxParameterCodes + 1);
    auto requested = [this](std::uint16_t code) { return requestedCodes_.contains(code); };
    if (requested(AV_PARAM_ENGINE_FOLDER)) {
      records.parameters.push_back(
          parameter(AV_PARAM_ENGINE_FOLDER, static_cast<std::uint32_t>(engineFolder_.size() + 1),
                    AV_PTR_TO_U64(engineFolder_.c_str())));
    }
    if (requested(AV_PARAM_DATASET_FILES)) {
      records.dataSetPaths = {namesPath_.c_str(), scanPath_.c_str(), cleanPath_.c_str()};
      records.dataSetFiles = AV_DATASETFILES{sizeof(AV_DATASETFILES), 3, 0,
                                             AV_PTR_TO_U64(records.dataSetPaths.data())};
      records.parameters.push_back(parameter(AV_PARAM_DATASET_FILES, sizeof(AV_DATASETFILES),
                                             AV_PTR_TO_U64(&records.dataSetFiles)));
    }
    if (requested(AV_PARAM_INTERFACE_VERSION)) {
      records.parameters.push_back(parameter(AV_PARAM_INTERFACE_VERSION, 8, AV_INTERFACE_VERSION));
    }
    if (requested(AV_PARAM_CALLBACK)) {
      const AV_CALLBACK callback = &CVxAVEngineConfig::Callback;
      records.parameters.push_back(parameter(AV_PARAM_CALLBACK, 8, AV_PTR_TO_U64(callback)));
      records.parameters.push_back(parameter(AV_PARAM_CALLBACK_CONTEXT, 8, AV_PTR_TO_U64(this)));
    }
    if (requested(AV_PARAM_PRODUCT_INFO)) {
      VX_LOG(VX_LOG_NORMAL, kInitializeFunction)
          << L"CVxAVEngineConfig::Initialize - Product Id: " << productId_;
      VX_LOG(VX_LOG_NORMAL, kInitializeFunction)
          << L"CVxAVEngineConfig::Initialize - Product Locale: " << productLocale_;
      records.productInfo = AV_PRODUCTINFO{sizeof(AV_PRODUCTINFO),
                                           static_cast<std::uint16_t>(productId_),
                                           static_cast<std::uint16_t>(productLocale_), 0};
      records.parameters.push_back(
          parameter(AV_PARAM_PRODUCT_INFO, 8, AV_PTR_TO_U64(&records.productInfo)));
    }
    if (requested(AV_PARAM_VERSION_QUERY)) {
      records.parameters.push_back(parameter(AV_PARAM_VERSION_QUERY, 0, 0));
    }
  } catch (const std::bad_alloc&) {
    VX_LOG(VX_LOG_WARNING, kInitializeFunction)
        << L"CVxAVEngineConfig::Initialize - saParameters is NULL";
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  }

  const VxNAResult<VxAVEngineEntryPoints> engine = CVxAVEngineLibrary::entryPoints();
  if (!engine) return VxNAFail(engine.error);
  const AV_PARAMETERS block{sizeof(AV_PARAMETERS),
                            static_cast<std::uint16_t>(records.parameters.size()),
                            AV_PTR_TO_U64(records.parameters.data())};
  // Whatever a failed start wrote must not survive into the next attempt.
  initialisation_ = AV_INITIALISATION{};
  initialisation_.size = sizeof(AV_INITIALISATION);
  const std::uint16_t status = engine.value.AVInitialise(&block, &initialisation_);
  if (status != AV_STATUS_OK) return VxNAFail(mapEngineStatus(status));

  started_ = true;
  engine_ = engine.value;
  requestedCodes_.clear();
  engineFolder_.clear();
  namesPath_.clear();
  scanPath_.clear();
  cleanPath_.clear();
  return VxNASuccess();
}

VxNAResult<std::shared_ptr<CVxAVEngineInitResults>> CVxAVEngineConfig::getInitResults() {
  if (!started_) return VxNAFail(VX_E_NOT_INITIALIZED);
  try {
    return std::make_shared<CVxAVEngineInitResults>(initialisation_);
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

VxNAResult<std::shared_ptr<IVxAVEngine>> CVxAVEngineConfig::getEngine() {
  if (!started_) return VxNAFail(VX_E_NOT_INITIALIZED);
  std::shared_ptr<CVxAVEngineConfig> self = self_.lock();
  if (!self) return VxNAFail(ERROR_FUNCTION_FAILED);
  return std::shared_ptr<IVxAVEngine>(std::move(self));
}

VxNAResult<VxAVEngineHandle> CVxAVEngineConfig::getHandle() {
  if (!started_) return VxNAFail(VX_E_NOT_INITIALIZED);
  return static_cast<VxAVEngineHandle>(initialisation_.engineHandle);
}

std::uint32_t CVxAVEngineConfig::Callback(const AV_CALLBACKCONTEXT* context, std::uint16_t message,
                                          std::uint64_t, std::uintptr_t) {
  std::string text = "\n AVEngineConfig_Callback - Received callback";
  const std::uint64_t contextValue = context != nullptr ? context->value : 0;
  if (contextValue != 0 && message != 0) {
    text += "\n CVxAVEngineConfig::Callback - Received callback. Message: " + std::to_string(message);
  }
  // One write, so that the lines of engines starting on other threads do not mix.
  std::fwrite(text.data(), 1, text.size(), stdout);
  return AV_CALLBACK_CONTINUE;
}
