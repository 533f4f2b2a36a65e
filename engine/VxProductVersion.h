#pragma once
// The product's own version, as every module of the product reports it when asked
// for its file version (platform::loadedModuleVersion reads the exported record
// below from a loaded module). One place holds the numbers; a module carries the
// record when it links VxProductVersion.cpp (the engine library's object must be
// kept by the linker, e.g. with --undefined=vx_product_version).
//
// Constant data; safe from any thread.
#include <cstdint>

#include "platform/ModuleVersion.h"

inline constexpr std::uint16_t kVxProductVersionMajor = 1;
inline constexpr std::uint16_t kVxProductVersionMinor = 0;
inline constexpr std::uint16_t kVxProductVersionBuild = 0;
inline constexpr std::uint16_t kVxProductVersionRevision = 0;

// The record of a module whose version is major.minor.build.revision.
constexpr platform::ModuleVersionRecord makeModuleVersionRecord(std::uint16_t major,
                                                                std::uint16_t minor,
                                                                std::uint16_t build,
                                                                std::uint16_t revision) {
  return platform::ModuleVersionRecord{
      platform::kModuleVersionSignature,
      static_cast<std::uint32_t>(major) << 16 | minor,
      static_cast<std::uint32_t>(build) << 16 | revision};
}

extern "C" {
// Exported under platform::kModuleVersionSymbol.
extern const platform::ModuleVersionRecord vx_product_version;
}
