#include "platform/ModuleVersion.h"

#include <dlfcn.h>
#include <link.h>

#include <cstring>
#include <memory>

namespace platform {

namespace {

constexpr std::uint32_t kModuleNotFound = 126;
constexpr std::uint32_t kFunctionFailed = 1627;

struct ModuleSearch {
  const std::string* wanted;
  bool byPath;
  std::string foundPath;
  bool found = false;
};

std::string fileNameOf(const char* path) {
  const char* separator = std::strrchr(path, '/');
  return separator == nullptr ? std::string(path) : std::string(separator + 1);
}

int matchModule(dl_phdr_info* info, std::size_t, void* context) {
  auto& search = *static_cast<ModuleSearch*>(context);
  // The main program is listed without a name; only shared objects are asked.
  if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
  const bool matches = search.byPath ? *search.wanted == info->dlpi_name
                                     : *search.wanted == fileNameOf(info->dlpi_name);
  if (!matches) return 0;
  search.foundPath = info->dlpi_name;
  search.found = true;
  return 1;
}

struct HandleCloser {
  void operator()(void* handle) const { dlclose(handle); }
};
using ModuleReference = std::unique_ptr<void, HandleCloser>;

// True when address lies in the module that handle names. dlsym also searches the
// module's dependencies, and a record found there belongs to another module.
bool belongsTo(void* handle, const void* address) {
  link_map* module = nullptr;
  if (dlinfo(handle, RTLD_DI_LINKMAP, &module) != 0 || module == nullptr) return false;
  Dl_info info{};
  link_map* owner = nullptr;
  if (dladdr1(address, &info, reinterpret_cast<void**>(&owner), RTLD_DL_LINKMAP) == 0) return false;
  return owner == module;
}

}  // namespace

std::uint32_t loadedModuleVersion(const std::string& moduleName, ModuleVersionRecord& version) {
  if (moduleName.empty()) return kModuleNotFound;
  ModuleSearch search{&moduleName, moduleName.find('/') != std::string::npos, {}};
  dl_iterate_phdr(&matchModule, &search);
  if (!search.found) return kModuleNotFound;

  // Holding a reference keeps the module mapped while its record is read; NOLOAD
  // never loads it when another thread unloaded it in the meantime.
  const ModuleReference module(dlopen(search.foundPath.c_str(), RTLD_LAZY | RTLD_NOLOAD));
  if (!module) return kModuleNotFound;
  const void* record = dlsym(module.get(), kModuleVersionSymbol);
  if (record == nullptr || !belongsTo(module.get(), record)) return kFunctionFailed;

  ModuleVersionRecord copy{};
  std::memcpy(&copy, record, sizeof(copy));
  if (copy.signature != kModuleVersionSignature) return kFunctionFailed;
  version = copy;
  return 0;
}

}  // namespace platform
