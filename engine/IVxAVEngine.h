#pragma once
// IVxAVEngine: a started scan engine, shared by every object scanner of a kernel.
// The engine stays open while any holder keeps a reference.
#include <cstdint>

#include "foundation/VxNAResult.h"

using VxAVEngineHandle = std::uintptr_t;

class IVxAVEngine {
 public:
  virtual ~IVxAVEngine() = default;
  // The engine handle; fails with 0x42032B14 before the engine is started.
  virtual VxNAResult<VxAVEngineHandle> getHandle() = 0;
};
