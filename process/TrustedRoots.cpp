#include "process/TrustedRoots.h"

#include <cstddef>

namespace vxprocess {
namespace {

constexpr unsigned char hexValue(char c) {
  return static_cast<unsigned char>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
}

// A thumbprint from its 40 hexadecimal digits; a malformed text fails the build.
consteval CVxThumbprint thumbprint(const char (&hex)[41]) {
  CVxThumbprint bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const char high = hex[2 * i];
    const char low = hex[2 * i + 1];
    for (char c : {high, low}) {
      const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
      if (!digit) throw "a thumbprint has 40 hexadecimal digits";
    }
    bytes[i] = static_cast<unsigned char>(hexValue(high) << 4 | hexValue(low));
  }
  return bytes;
}

constexpr CVxThumbprint kRoots[] = {
    thumbprint("742C3192E607E424EB4549542BE1BBC53E6174E2"),
#ifdef VX_TRUSTED_TEST_ROOT_SHA1
    thumbprint(VX_TRUSTED_TEST_ROOT_SHA1),
#endif
};

}  // namespace

std::span<const CVxThumbprint> trustedRootThumbprints() { return kRoots; }

}  // namespace vxprocess
