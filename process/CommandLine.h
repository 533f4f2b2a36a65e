#pragma once
// Command lines in the Windows form: one text that holds the program and its
// arguments. Children are handed an argv split from that text with the rules of
// CommandLineToArgvW, so that a child sees the same arguments on Linux as it
// would on Windows:
// - the program name (first word) ends at the next blank, or, when it begins
//   with a double quotation mark, at the next one; it has no escapes;
// - in the other words 2n backslashes before a quotation mark give n backslashes
//   and the mark opens or closes a quoted part; 2n+1 give n backslashes and a
//   literal mark; backslashes elsewhere are literal;
// - inside a quoted part a doubled mark gives one literal mark.
//
// Stateless; safe from any thread.
#include <string>
#include <vector>

namespace vxprocess {

// The quoted path, then, when arguments is not empty, one blank and the arguments.
std::wstring buildCommandLine(const std::wstring& path, const std::wstring& arguments);

// One argument written so that splitCommandLine gives it back whole: as it is
// when it has no blank, tab or quotation mark, else quoted with the escapes the
// splitting rules need.
std::wstring quoteArgument(const std::wstring& argument);

// The argv a child receives for commandLine.
std::vector<std::wstring> splitCommandLine(const std::wstring& commandLine);

// The words of an argument text alone (what follows the program name), split
// with the rules of the words after the first. A start that knows its program
// path makes argv from that path and these words, so that nothing in the path
// is ever read as a separator.
std::vector<std::wstring> splitArguments(const std::wstring& arguments);

}  // namespace vxprocess
