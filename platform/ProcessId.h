#pragma once
// The calling process's id (the PID of log lines).
//
// Stateless; safe from any thread.
#include <cstdint>

namespace platform {

std::uint32_t currentProcessId();

}  // namespace platform
