#include "tools/sifter/PathText.h"

#include <cstdint>

namespace sifter {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Length of the well-formed UTF-8 sequence of an XML character at the start of
// text, or 0 when its first byte must be escaped.
std::size_t xmlCharacterLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return (lead >= 0x20 && lead != 0x7F) || lead == '\t' || lead == '\n' ? 1 : 0;
  std::size_t length = 0;
  std::uint32_t code = 0;
  std::uint32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1Fu, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0Fu, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07u, minimum = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0u) != 0x80u) return 0;
    code = code << 6 | (byte(i) & 0x3Fu);
  }
  if (code < minimum || code > 0x10FFFF) return 0;
  if (code >= 0xD800 && code <= 0xDFFF) return 0;
  if (code == 0xFFFE || code == 0xFFFF) return 0;
  return length;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void appendHex(std::string& out, char prefix, unsigned char byte) {
  out += prefix;
  out += kHexDigits[byte >> 4];
  out += kHexDigits[byte & 0x0F];
}

bool keptInEntryName(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-' || c == '+' || c == ',' || c == '=' || c == '@' || c == ' ';
}

}  // namespace

std::string escapePathForXml(std::string_view path) {
  std::string out;
  out.reserve(path.size());
  // Line breaks and tabs are escaped as well: attribute values lose them to
  // normalisation when the report is read back.
  while (!path.empty()) {
    const std::size_t length = xmlCharacterLength(path);
    if (path.front() == '\\') {
      out += "\\\\";
      path.remove_prefix(1);
    } else if (length == 0 || path.front() == '\t' || path.front() == '\n') {
      out += '\\';
      appendHex(out, 'x', static_cast<unsigned char>(path.front()));
      path.remove_prefix(1);
    } else {
      out.append(path.substr(0, length));
      path.remove_prefix(length);
    }
  }
  return out;
}

std::optional<std::string> unescapePath(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (i + 3 < text.size() && text[i + 1] == 'x' && hexValue(text[i + 2]) >= 0 &&
               hexValue(text[i + 3]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 2]) << 4 | hexValue(text[i + 3]));
      i += 3;
    } else {
      return std::nullopt;
    }
  }
  return out;
}

std::string archiveEntryName(std::string_view path) {
  while (path.starts_with('/')) path.remove_prefix(1);
  std::string out;
  while (true) {
    const auto slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    if (component == "." || component == "..") {
      out += component == "." ? "%2E" : "%2E%2E";
    } else {
      for (const char c : component) {
        const auto byte = static_cast<unsigned char>(c);
        if (keptInEntryName(byte)) {
          out += c;
        } else {
          appendHex(out, '%', byte);
        }
      }
    }
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
    // Repeated and trailing separators would give empty components.
    while (path.starts_with('/')) path.remove_prefix(1);
    if (path.empty()) break;
    out += '/';
  }
  return out;
}

bool isXmlText(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = xmlCharacterLength(text);
    if (length == 0 || text.front() == '\t' || text.front() == '\n') return false;
    text.remove_prefix(length);
  }
  return true;
}

}  // namespace sifter
