#pragma once
// The root certificates a code signature must chain to, by SHA-1 thumbprint.
// The list is compiled in: the product's root, and, in a build that asks for
// it with the CMake option VX_TRUSTED_TEST_ROOT_SHA1, one test root. Nothing
// adds a root at run time.
//
// Constant; safe from any thread.
#include <array>
#include <span>

namespace vxprocess {

using CVxThumbprint = std::array<unsigned char, 20>;

std::span<const CVxThumbprint> trustedRootThumbprints();

}  // namespace vxprocess
