#pragma once
// IVxAVEngineConfig: how an engine instance is configured and started. The setters
// collect the start-up parameters, Initialize() starts the engine with them, and the
// started engine is then read through getInitResults() and getEngine().
//
// Failures: 0x42032B12 when ten parameter codes are already requested, 0x42032B13
// once started (setters, Initialize), 0x42032B14 before start (getInitResults,
// getEngine), engine statuses mapped by mapEngineStatus().
//
// Not thread-safe: one thread configures and starts the instance.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/IVxAVEngine.h"
#include "engine/VxAVEngineInitResults.h"
#include "foundation/VxNAResult.h"

class IVxAVEngineConfig {
 public:
  virtual VxNAResult<> setProductInfo(std::uint32_t productId, std::uint32_t productLocale) = 0;
  virtual VxNAResult<> setEngineFolder(const std::string& folder) = 0;
  virtual VxNAResult<> setDataSetFiles(const std::string& namesPath, const std::string& scanPath,
                                       const std::string& cleanPath) = 0;
  // true asks the engine to start for a version query; false changes nothing.
  virtual VxNAResult<> setVersionQuery(bool versionQuery) = 0;
  virtual VxNAResult<> Initialize() = 0;
  virtual VxNAResult<std::shared_ptr<CVxAVEngineInitResults>> getInitResults() = 0;
  // The started engine; it shares the ownership of this configuration object.
  virtual VxNAResult<std::shared_ptr<IVxAVEngine>> getEngine() = 0;
  virtual ~IVxAVEngineConfig() = default;
};
