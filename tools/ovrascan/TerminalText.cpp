#include "tools/ovrascan/TerminalText.h"

#include <cstdint>
#include <cstdio>

namespace TerminalText {
namespace {

const char* namedEscape(unsigned char byte) {
  switch (byte) {
    case '\a': return "\\a";
    case '\b': return "\\b";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\v': return "\\v";
    case '\f': return "\\f";
    case '\r': return "\\r";
    case '\\': return "\\\\";
    default: return nullptr;
  }
}

void appendEscape(std::string& out, unsigned char byte) {
  if (const char* named = namedEscape(byte)) {
    out += named;
    return;
  }
  char octal[8];
  std::snprintf(octal, sizeof octal, "\\%03o", byte);
  out += octal;
}

// The length of the well-formed, printable UTF-8 sequence at the start of
// `text`, or 0 when its first byte must be escaped.
std::size_t printableSequence(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead >= 0x20 && lead < 0x7F) return lead == '\\' ? 0 : 1;
  std::size_t length = 0;
  std::uint32_t point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    point = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    point = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    point = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0u) != 0x80u) return 0;
    point = (point << 6) | (next & 0x3Fu);
  }
  const std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool wellFormed = point >= shortest[length] && point <= 0x10FFFF && (point < 0xD800 || point > 0xDFFF);
  const bool c1Control = point >= 0x80 && point < 0xA0;
  return wellFormed && !c1Control ? length : 0;
}

}  // namespace

std::string escaped(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  while (!name.empty()) {
    if (const std::size_t length = printableSequence(name)) {
      out.append(name.substr(0, length));
      name.remove_prefix(length);
    } else {
      appendEscape(out, static_cast<unsigned char>(name[0]));
      name.remove_prefix(1);
    }
  }
  return out;
}

}  // namespace TerminalText
