#pragma once
// libovrascan.so as hosts load it: once, and never unloaded (the suspicious-scan
// object's worker may still be leaving module code after the object's last
// release).
#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace vxtest {

inline void* ovrascanModule() {
  static void* const module = dlopen(OVRASCAN_MODULE, RTLD_NOW | RTLD_LOCAL);
  return module;
}

// An export of the module; null when the module or the export is missing.
template <class Function>
Function moduleExport(const char* name) {
  void* module = ovrascanModule();
  return module == nullptr ? nullptr : reinterpret_cast<Function>(dlsym(module, name));
}

// A machine folder of the test's own for the life of the object: the registry
// store and everything else the product keeps there start empty.
class PrivateMachineFolder {
 public:
  PrivateMachineFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vx-machine-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    const char* previous = std::getenv("VX_MACHINE_DIR");
    if (previous != nullptr) previous_ = previous;
    hadPrevious_ = previous != nullptr;
    ::setenv("VX_MACHINE_DIR", path_.c_str(), 1);
  }
  ~PrivateMachineFolder() {
    if (hadPrevious_) {
      ::setenv("VX_MACHINE_DIR", previous_.c_str(), 1);
    } else {
      ::unsetenv("VX_MACHINE_DIR");
    }
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  PrivateMachineFolder(const PrivateMachineFolder&) = delete;
  PrivateMachineFolder& operator=(const PrivateMachineFolder&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
  bool hadPrevious_ = false;
};

}  // namespace vxtest
