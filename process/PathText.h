#pragma once
// Texts that name a file or a program, as callers hand them in. A counted text
// (a BSTR, a std::wstring) may hold a NUL; the system reads a path only up to
// its first NUL, so a check made on the whole text (a ".exe" ending, say) and
// the open made with the part before the NUL would be about two different
// names. Such a text is refused wherever a path or a name is expected.
//
// Stateless; safe from any thread.
#include <string>
#include <string_view>

namespace vxprocess {

// True when text holds a NUL anywhere in its counted length.
bool hasEmbeddedNul(std::wstring_view text);

// True when path can be the program of a start: no NUL and no quotation mark
// (a mark would end the program name of the Windows-form command line that
// the start logs and that callers may still split).
bool isProgramPath(std::wstring_view path);

// text for a log line: each NUL written as "\0", so that the line is not cut
// short at it.
std::wstring printable(std::wstring_view text);

}  // namespace vxprocess
