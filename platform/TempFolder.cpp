#include "platform/TempFolder.h"

#include <cstdlib>

namespace platform {

std::string temporaryFolder() {
  // secure_getenv: a program running with raised privileges ignores the caller's
  // environment rather than writing where the caller points it.
  const char* variable = ::secure_getenv("TMPDIR");
  std::string folder = (variable != nullptr && variable[0] == '/') ? variable : "/tmp";
  if (folder.back() != '/') folder.push_back('/');
  return folder;
}

}  // namespace platform
