#pragma once
// libovrascan.so as hosts load it: once, and never unloaded (the suspicious-scan
// object's worker may still be leaving module code after the object's last
// release).
#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/ScratchFolder.h"

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
    const char* previous = std::getenv("VX_MACHINE_DIR");
    if (previous != nullptr) previous_ = previous;
    hadPrevious_ = previous != nullptr;
    ::setenv("VX_MACHINE_DIR", path().c_str(), 1);
  }
  ~PrivateMachineFolder() {
    if (hadPrevious_) {
      ::setenv("VX_MACHINE_DIR", previous_.c_str(), 1);
    } else {
      ::unsetenv("VX_MACHINE_DIR");
    }
  }
  PrivateMachineFolder(const PrivateMachineFolder&) = delete;
  PrivateMachineFolder& operator=(const PrivateMachineFolder&) = delete;

  std::string path() const { return scratch_.path().string(); }

 private:
  ScratchFolder scratch_{"vx-machine"};
  std::string previous_;
  bool hadPrevious_ = false;
};

}  // namespace vxtest
