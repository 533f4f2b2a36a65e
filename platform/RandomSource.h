#pragma once
// The operating system's cryptographic random source (the kernel's getrandom),
// the stand-in for rand_s.
//
// Stateless; safe from any thread.
#include <cstdint>
#include <optional>

namespace platform {

// One uniformly distributed 32-bit value, or nothing when the source fails.
std::optional<std::uint32_t> secureRandom32();

}  // namespace platform
