#pragma once
// The diagnostic channel that stands in for the debugger output of Windows
// (OutputDebugString): the system log at debug priority, where journalctl and
// syslog readers see it.
//
// Stateless; safe from any thread.
#include <string_view>

namespace platform {

// Sends one line of UTF-8 text (a trailing line end is dropped).
void writeDebugOutput(std::string_view text);

}  // namespace platform
