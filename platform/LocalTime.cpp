#include "platform/LocalTime.h"

#include <time.h>

namespace platform {

LocalTime localTimeNow() {
  const time_t now = ::time(nullptr);
  struct tm parts {};
  if (::localtime_r(&now, &parts) == nullptr) return {};
  return {static_cast<std::uint16_t>(parts.tm_year + 1900), static_cast<std::uint16_t>(parts.tm_mon + 1),
          static_cast<std::uint16_t>(parts.tm_mday),        static_cast<std::uint16_t>(parts.tm_hour),
          static_cast<std::uint16_t>(parts.tm_min),         static_cast<std::uint16_t>(parts.tm_sec)};
}

}  // namespace platform
