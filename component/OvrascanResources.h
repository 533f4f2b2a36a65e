#pragma once
// The module's resources: the type library, as the IDL source it is declared in
// (component/Ovrascan.idl), and the registry scripts of the module and its two
// classes (component/*.rgs), built into the module from those files.
#include <string_view>

inline constexpr int IDR_OVRASCAN = 101;
inline constexpr int IDR_COCVXVIRUSSCAN = 102;
inline constexpr int IDR_VXSUSPICIOUSSCAN = 103;

std::string_view ovrascanTypeLibraryResource();
std::string_view ovrascanModuleScript();
std::string_view coCVxVirusScanScript();
std::string_view vxSuspiciousScanScript();

// The registry script of a resource id above; empty for any other id.
inline std::string_view ovrascanRegistryScript(int id) {
  switch (id) {
    case IDR_OVRASCAN:
      return ovrascanModuleScript();
    case IDR_COCVXVIRUSSCAN:
      return coCVxVirusScanScript();
    case IDR_VXSUSPICIOUSSCAN:
      return vxSuspiciousScanScript();
    default:
      return {};
  }
}
