#pragma once
// How a file name, which on Linux is any sequence of bytes, is written where only
// text may go.
//
// In the XML report (escapePathForXml): the bytes that form well-formed UTF-8 of
// a character XML allows are written as they are; every other byte (a byte of
// malformed UTF-8, a control character, DEL, U+FFFE/U+FFFF) becomes the four
// characters "\xHH" (two upper-case hexadecimal digits), and a backslash becomes
// "\\". unescapePath reverses it exactly, so the original bytes can always be
// recovered from the report.
//
// In the archive (archiveEntryName): a relative name of printable ASCII that every
// zip tool extracts below its target folder: the path's leading "/" is dropped,
// each byte outside [A-Za-z0-9._-+,=@ ] becomes "%HH" ("/" between components
// stays), and components "." and ".." are written as "%2E" and "%2E%2E".
//
// Stateless; safe from any thread.
#include <optional>
#include <string>
#include <string_view>

namespace sifter {

std::string escapePathForXml(std::string_view path);
// Nothing when text is not something escapePathForXml writes.
std::optional<std::string> unescapePath(std::string_view text);

std::string archiveEntryName(std::string_view path);

// True when the text is well-formed UTF-8 of characters XML allows, i.e. when
// escapePathForXml leaves it unchanged apart from backslashes.
bool isXmlText(std::string_view text);

}  // namespace sifter
