// The library's three exported entry points. Nothing here throws: every C++
// failure becomes a status before it reaches the caller.
#include "engine/VxAVEngineABI.h"
#include "qelda/QeldaCacheSettings.h"
#include "qelda/QeldaEngine.h"
#include "qelda/QeldaObjectScan.h"
#include "qelda/QeldaVerdictCacheFile.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace qelda {
namespace {

struct StartRequest {
  std::string engineFolder;
  const AV_DATASETFILES* files = nullptr;
  bool versionOnly = false;
};

std::string inFolder(const std::string& folder, const char* name) {
  const std::string file = name == nullptr ? std::string{} : std::string(name);
  if (file.empty() || file.front() == '/' || folder.empty()) return file;
  return folder.back() == '/' ? folder + file : folder + "/" + file;
}

std::uint16_t readStartParameters(const AV_PARAMETERS& block, StartRequest& request) {
  if (block.size != sizeof(AV_PARAMETERS) || (block.count != 0 && block.parameters == 0)) {
    return AV_STATUS_BAD_PARAMETERS;
  }
  const auto* list = AV_U64_TO_PTR(const AV_SINGLEPARAMETER*, block.parameters);
  for (std::uint16_t i = 0; i < block.count; ++i) {
    const AV_SINGLEPARAMETER& parameter = list[i];
    if (parameter.size != sizeof(AV_SINGLEPARAMETER)) return AV_STATUS_BAD_PARAMETERS;
    switch (parameter.code) {
      case AV_PARAM_ENGINE_FOLDER:
        if (parameter.value == 0 || parameter.length == 0) return AV_STATUS_BAD_PARAMETERS;
        request.engineFolder.assign(AV_U64_TO_PTR(const char*, parameter.value),
                                    strnlen(AV_U64_TO_PTR(const char*, parameter.value), parameter.length));
        break;
      case AV_PARAM_DATASET_FILES:
        request.files = AV_U64_TO_PTR(const AV_DATASETFILES*, parameter.value);
        if (request.files == nullptr || request.files->size != sizeof(AV_DATASETFILES) ||
            request.files->count != 3 || request.files->files == 0) {
          return AV_STATUS_BAD_PARAMETERS;
        }
        break;
      case AV_PARAM_INTERFACE_VERSION:
        if (parameter.value != AV_INTERFACE_VERSION) return AV_STATUS_BAD_PARAMETERS;
        break;
      case AV_PARAM_PRODUCT_INFO: {
        const auto* product = AV_U64_TO_PTR(const AV_PRODUCTINFO*, parameter.value);
        if (product == nullptr || product->size != sizeof(AV_PRODUCTINFO)) return AV_STATUS_BAD_PARAMETERS;
        break;
      }
      case AV_PARAM_VERSION_QUERY: request.versionOnly = true; break;
      default: break;  // the start callback (100/101) is never called; unknown codes ignored
    }
  }
  return request.files == nullptr ? AV_STATUS_BAD_PARAMETERS : AV_STATUS_OK;
}

std::uint16_t initialise(const AV_PARAMETERS* parameters, AV_INITIALISATION* initialisation) try {
  if (parameters == nullptr || initialisation == nullptr ||
      initialisation->size != sizeof(AV_INITIALISATION)) {
    return AV_STATUS_BAD_PARAMETERS;
  }
  StartRequest request;
  if (const std::uint16_t status = readStartParameters(*parameters, request)) return status;
  const auto* names = AV_U64_TO_PTR(const char* const*, request.files->files);
  const DataSetFiles files{inFolder(request.engineFolder, names[0]),
                           inFolder(request.engineFolder, names[1]),
                           inFolder(request.engineFolder, names[2])};
  std::uint16_t settingsRefused = 0;
  const CacheSettings cache =
      request.versionOnly ? CacheSettings{false} : readCacheSettings(request.engineFolder, settingsRefused);
  if (settingsRefused != 0) return AV_STATUS_DATA_FILE(AV_DATA_FILE_SETTINGS, settingsRefused);
  const std::string machine = verdictMachineFolder();
  DataSetOutcome loaded = DataSetCache::instance().acquire(files, request.versionOnly, cache.enabled ? &machine : nullptr);
  if (!loaded.dataSet) return loaded.status;
  auto engine = std::make_shared<const Engine>(std::move(loaded.dataSet), cache, machine);
  engine->loadVerdicts();
  if (!request.versionOnly) EngineRegistry::instance().noteCacheState(engine->cacheOffReason());
  const std::uint64_t handle = EngineRegistry::instance().add(engine);
  if (handle == 0) return AV_STATUS_OUT_OF_MEMORY;
  engine->describe(handle, *initialisation);
  return AV_STATUS_OK;
} catch (const std::bad_alloc&) {
  return AV_STATUS_OUT_OF_MEMORY;
}

}  // namespace
}  // namespace qelda

extern "C" {

AV_ENGINE_API uint16_t AVInitialise(const AV_PARAMETERS* parameters,
                                    AV_INITIALISATION* initialisation) {
  return qelda::initialise(parameters, initialisation);
}

AV_ENGINE_API uint16_t AVScanObject(uint64_t engineHandle, const AV_PARAMETERS* parameters,
                                    uint64_t /*reserved*/) {
  if (parameters == nullptr) return AV_STATUS_BAD_PARAMETERS;
  const auto engine = qelda::EngineRegistry::instance().find(engineHandle);
  if (!engine) return AV_STATUS_BAD_HANDLE;
  return qelda::scanObject(*engine, *parameters);
}

AV_ENGINE_API uint16_t AVClose(uint64_t engineHandle) {
  const auto engine = qelda::EngineRegistry::instance().remove(engineHandle);
  if (!engine) return AV_STATUS_BAD_HANDLE;
  try {
    engine->saveVerdicts();
  } catch (const std::bad_alloc&) {
    // Verdicts not stored are found again by the next scan.
  }
  return AV_STATUS_OK;
}

// Not one of the engine's entry points: the number of objects this process's
// scans answered from the verdict cache, for a host that reports it.
AV_ENGINE_API uint64_t QeldaCacheHits(void) { return qelda::EngineRegistry::instance().cacheHits(); }

// Not one of the engine's entry points either: why the cache of the engine this
// process started last was off, as NUL-terminated text cut to `size` bytes; its
// whole length is returned, 0 when the cache was on.
AV_ENGINE_API uint64_t QeldaCacheOffReason(char* buffer, uint64_t size) {
  try {
    const std::string reason = qelda::EngineRegistry::instance().cacheOffReason();
    if (buffer != nullptr && size > 0) {
      const std::size_t copied = std::min<std::size_t>(reason.size(), static_cast<std::size_t>(size - 1));
      std::memcpy(buffer, reason.data(), copied);
      buffer[copied] = '\0';
    }
    return reason.size();
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

}  // extern "C"
