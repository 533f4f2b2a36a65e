#pragma once
// The root certificates a code signature must chain to, by SHA-1 thumbprint:
// its signer's chain and the chain of a time-stamping authority that
// counter-signs it alike (a time stamp under any other root is no trusted
// time). The list is compiled in: the product's root, and, in a build that asks
// for it with the CMake option VX_TRUSTED_TEST_ROOT_SHA1, one test root.
// Nothing adds a root at run time; the system's trust store is never consulted.
//
// Constant; safe from any thread.
#include <array>
#include <span>

namespace vxprocess {

using CVxThumbprint = std::array<unsigned char, 20>;

std::span<const CVxThumbprint> trustedRootThumbprints();

}  // namespace vxprocess
