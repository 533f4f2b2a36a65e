#include "platform/MachineFolder.h"

#include <cstdlib>

namespace platform {

std::string machineFolder() {
  const char* variable = ::secure_getenv("VX_MACHINE_DIR");
  std::string folder = (variable != nullptr && variable[0] != '\0') ? variable : "/var/lib";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

}  // namespace platform
