// Fuzzes the parser of /proc/<pid>/maps text. Every process chooses the names of
// the files it maps, so the path field is the attacker's; the rest of a line is
// the kernel's, but the parser must not trust that either.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/ProcessMaps.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::size_t viewed = 0;
  platform::forEachExecutableMapping(text, [&](const platform::ExecutableMappingView& mapping) {
    ++viewed;
    if (mapping.inode == 0 || mapping.path.empty()) std::abort();
    // Decoding never lengthens a name: "\012" becomes one byte.
    if (platform::decodeMapsPath(mapping.path).size() > mapping.path.size()) std::abort();
    return false;
  });
  if (platform::parseExecutableMappings(text).size() != viewed) std::abort();
  return 0;
}
