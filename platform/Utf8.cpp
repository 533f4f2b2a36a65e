#include "platform/Utf8.h"

namespace platform {

namespace {

constexpr char32_t kEscapeFirst = 0xDC80;
constexpr char32_t kEscapeLast = 0xDCFF;
constexpr char32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t cp) {
  if (cp >= kEscapeFirst && cp <= kEscapeLast) {
    out.push_back(static_cast<char>(cp - 0xDC00));
    return;
  }
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes one well-formed UTF-8 sequence at bytes[i]; returns its length, or 0
// when the bytes there are not well-formed (overlong, surrogate, out of range,
// truncated).
std::size_t decodeSequence(const unsigned char* bytes, std::size_t size, std::size_t i,
                       char32_t& cp) {
  const unsigned char lead = bytes[i];
  std::size_t length = 0;
  char32_t min = 0;
  if (lead < 0x80) {
    cp = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + length > size) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((bytes[i + k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (bytes[i + k] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

// Appends a run of ASCII characters, which both encodings hold one to one.
// Written in place: appending an iterator range of another character type would
// build a temporary string of the whole run first.
template <class String, class Char>
void appendAsciiRun(String& out, const Char* first, const Char* last) {
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(last - first));
  auto* to = out.data() + at;
  for (; first != last; ++first) *to++ = static_cast<typename String::value_type>(*first);
}

}  // namespace

std::string encodeUtf8(const wchar_t* text, std::size_t count) {
  std::string out;
  if (text == nullptr) return out;
  out.reserve(count);
  for (std::size_t i = 0; i < count;) {
    // Paths and names are mostly ASCII: a run of it is copied in one step.
    std::size_t run = i;
    while (run < count && static_cast<char32_t>(text[run]) < 0x80) ++run;
    if (run != i) {
      appendAsciiRun(out, text + i, text + run);
      i = run;
      continue;
    }
    appendUtf8(out, static_cast<char32_t>(text[i++]));
  }
  return out;
}

std::wstring decodeUtf8(const char* data, std::size_t size) {
  std::wstring out;
  if (data == nullptr) return out;
  out.reserve(size);
  const auto* bytes = reinterpret_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size;) {
    std::size_t run = i;
    while (run < size && bytes[run] < 0x80) ++run;
    if (run != i) {
      appendAsciiRun(out, bytes + i, bytes + run);
      i = run;
      continue;
    }
    char32_t cp = 0;
    const std::size_t length = decodeSequence(bytes, size, i, cp);
    if (length == 0) {
      out.push_back(static_cast<wchar_t>(0xDC00 + bytes[i]));
      ++i;
    } else {
      out.push_back(static_cast<wchar_t>(cp));
      i += length;
    }
  }
  return out;
}

}  // namespace platform
