#pragma once
// The wall-clock time in the machine's time zone, as GetLocalTime gives it.
//
// Stateless; safe from any thread.
#include <cstdint>

namespace platform {

struct LocalTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;  // 1..12
  std::uint16_t day = 0;    // 1..31
  std::uint16_t hour = 0;   // 0..23
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
};

LocalTime localTimeNow();

}  // namespace platform
