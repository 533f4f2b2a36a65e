#include "qelda/QeldaVerdictKey.h"

#include <time.h>

namespace qelda {
namespace {

std::int64_t nanoseconds(const timespec& time) {
  return static_cast<std::int64_t>(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
}

}  // namespace

VerdictKey verdictKeyOf(const struct stat& opened) {
  return VerdictKey{static_cast<std::uint64_t>(opened.st_dev), static_cast<std::uint64_t>(opened.st_ino),
                    static_cast<std::uint64_t>(opened.st_size), nanoseconds(opened.st_mtim),
                    nanoseconds(opened.st_ctim)};
}

std::int64_t changeClockNow() {
  timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return nanoseconds(now);
}

bool settledBefore(const struct stat& opened, std::int64_t scanStart, std::int64_t settleNs) {
  return nanoseconds(opened.st_ctim) < scanStart - settleNs;
}

}  // namespace qelda
