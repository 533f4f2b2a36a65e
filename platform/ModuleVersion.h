#pragma once
// The file version of a loaded module. Windows keeps it in the module's version
// resource; here every module of the product carries it as an exported record,
// kModuleVersionSymbol, laid out like the fixed file-version block (two 32-bit
// words, each holding two 16-bit parts, most significant part first). The record
// is read from the loaded image, so only modules that are loaded can be asked.
//
// Stateless; safe from any thread. A module unloaded by another thread while it is
// looked up is simply not found.
#include <cstdint>
#include <string>

namespace platform {

inline constexpr char kModuleVersionSymbol[] = "vx_product_version";
// Marks a genuine record, so that an unrelated export of the same name is not read
// as a version.
inline constexpr std::uint32_t kModuleVersionSignature = 0x56584652;  // "VXFR"

struct ModuleVersionRecord {
  std::uint32_t signature;
  std::uint32_t fileVersionMS;  // major << 16 | minor
  std::uint32_t fileVersionLS;  // build << 16 | revision
};

// The version record of the loaded shared object whose file name (the last path
// component, compared exactly, as Linux file names are case-sensitive) is
// moduleName; a name with a "/" is compared with the whole path instead.
// Returns 0; 126 (module not found) when no such module is loaded; 1627 when it is
// loaded but carries no valid record of its own.
std::uint32_t loadedModuleVersion(const std::string& moduleName, ModuleVersionRecord& version);

}  // namespace platform
