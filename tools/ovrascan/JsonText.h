#pragma once
// JsonText: JSON string literals for the reports ovrascan writes for tools that do
// not read XML.
//
// The text comes as wide characters, as the component hands names over: file names
// that are not UTF-8 carry each such byte as U+DC80..U+DCFF. Those, and any other
// surrogate, are written as \uXXXX escapes, so that the file stays valid UTF-8 and
// a reader gets the bytes back (Python: name.encode("utf-8", "surrogateescape")).
// Quotation mark, backslash and every control character are escaped; characters
// beyond U+10FFFF become U+FFFD.
//
// Stateless; safe from any thread.
#include <string>
#include <string_view>

namespace JsonText {

// `text` as a JSON string literal in UTF-8, quotation marks included.
std::string quoted(std::wstring_view text);

}  // namespace JsonText
