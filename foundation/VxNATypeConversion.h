#pragma once
// Conversions between wide strings and narrow strings in the ANSI code page, which
// is UTF-8 here. File names on Linux are arbitrary bytes, so the conversions must
// round-trip every name: a byte that is not part of valid UTF-8 becomes the wide
// character U+DC80..U+DCFF on the way in and the same byte on the way out (the
// "surrogateescape" scheme). Wide characters that UTF-8 cannot carry (other lone
// surrogates, values above U+10FFFF) become U+FFFD.
//
// Stateless; safe from any thread.
#include <cstdint>
#include <string>

class VxNATypeConversion {
 public:
  static std::string wideBufferToAnsiString(const wchar_t* text, std::uint32_t count);
  static std::string wideBufferToAnsiString(std::wstring text);
  static std::wstring ansiBufferToWideString(const char* text, std::uint32_t count);
  static std::wstring ansiBufferToWideString(std::string text);
};
