#pragma once
// TerminalText: names as a terminal may show them. A file name can hold any byte
// but '/' and NUL, so a name printed as it is can move the cursor, rewrite earlier
// lines or end a line early, and hide what a scan found. Control bytes (C0, DEL,
// the C1 controls of UTF-8) and bytes that are not UTF-8 are written as escapes,
// as `ls -b` writes them: \n \t \r \a \b \f \v by name, the others as \ooo, and a
// backslash as \\, so that every printed name reads back to one byte sequence.
// Printable UTF-8 passes unchanged. The reports (XML, JSON) keep names exact.
//
// Stateless; safe from any thread.
#include <string>
#include <string_view>

namespace TerminalText {

std::string escaped(std::string_view name);

}  // namespace TerminalText
