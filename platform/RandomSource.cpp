#include "platform/RandomSource.h"

#include <sys/random.h>

#include <cerrno>

namespace platform {

std::optional<std::uint32_t> secureRandom32() {
  std::uint32_t value = 0;
  for (;;) {
    const ssize_t got = ::getrandom(&value, sizeof value, 0);
    if (got == static_cast<ssize_t>(sizeof value)) return value;
    // Four bytes never come short once the pool is ready; only an interrupted
    // wait for the pool at early boot is worth another try.
    if (got < 0 && errno == EINTR) continue;
    return std::nullopt;
  }
}

}  // namespace platform
