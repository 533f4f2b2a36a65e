#pragma once
// How automation compares member names: without regard to case, as a type library
// does, so that a script's "progress" finds "Progress".
//
// Pure function; safe from any thread.
#include <string_view>

namespace platform::automation {

bool memberNamesEqual(std::wstring_view a, std::wstring_view b);

}  // namespace platform::automation
