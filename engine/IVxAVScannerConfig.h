#pragma once
// IVxAVScannerConfig: how an object scanner is prepared before a pass.
#include <cstdint>
#include <memory>
#include <set>

#include "engine/IVxAVEngine.h"
#include "foundation/VxNAResult.h"

class IVxAVScannerConfig {
 public:
  virtual ~IVxAVScannerConfig() = default;
  virtual VxNAResult<> setEngine(std::shared_ptr<IVxAVEngine> engine) = 0;
  virtual VxNAResult<> setScanTypes(const std::set<std::uint16_t>& types) = 0;
  virtual VxNAResult<> setCleanTypes(const std::set<std::uint16_t>& types) = 0;
  virtual VxNAResult<> initialize() = 0;
  virtual VxNAResult<> reserved() = 0;
  virtual VxNAResult<> setCollectHash(bool collect) = 0;
};
