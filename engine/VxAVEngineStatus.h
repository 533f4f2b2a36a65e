#pragma once
// How a status returned by the engine's entry points becomes one of the
// component's error codes. The engine's statuses are 16-bit; the low ones map into
// the component's range from 0x42032F10 upwards, and the ones that would run past
// 0x4203FFFF continue from 0x42020000, so that every status keeps a distinct code.
//
// Stateless; safe from any thread.
#include <cstdint>

// 0 (success) stays 0; any other status s gives 0x42032F10 + s for s up to 0xD0EF
// and 0x42020000 + (s - 0xD0F0) above.
std::uint32_t mapEngineStatus(std::uint16_t status);
