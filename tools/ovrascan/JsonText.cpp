#include "tools/ovrascan/JsonText.h"

#include <cstdint>
#include <cstdio>

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kLastCodePoint = 0x10FFFF;

bool isSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

void appendEscape(std::string& out, char32_t c) {
  char escape[16];
  std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
  out += escape;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

namespace JsonText {

std::string quoted(std::wstring_view text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (const wchar_t wide : text) {
    char32_t c = static_cast<char32_t>(static_cast<std::uint32_t>(wide));
    if (c > kLastCodePoint) c = kReplacement;
    switch (c) {
      case U'"': out += "\\\""; break;
      case U'\\': out += "\\\\"; break;
      case U'\b': out += "\\b"; break;
      case U'\f': out += "\\f"; break;
      case U'\n': out += "\\n"; break;
      case U'\r': out += "\\r"; break;
      case U'\t': out += "\\t"; break;
      default:
        // DEL and the C1 controls are escaped too: a terminal showing the file
        // would otherwise act on them. U+2028/U+2029 end lines in JavaScript.
        if (c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029 || isSurrogate(c)) {
          appendEscape(out, c);
        } else {
          appendUtf8(out, c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace JsonText
