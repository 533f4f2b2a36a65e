#include "platform/Utf16.h"

#include <string_view>

namespace platform {

namespace {

void appendUnit(std::string& bytes, char32_t unit) {
  bytes.push_back(static_cast<char>(unit & 0xFF));
  bytes.push_back(static_cast<char>((unit >> 8) & 0xFF));
}

}  // namespace

std::string encodeUtf16Le(std::wstring_view text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  for (const wchar_t c : text) {
    auto cp = static_cast<char32_t>(c);
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      cp -= 0x10000;
      appendUnit(bytes, 0xD800 + (cp >> 10));
      appendUnit(bytes, 0xDC00 + (cp & 0x3FF));
    } else {
      appendUnit(bytes, cp > 0x10FFFF ? 0xFFFD : cp);
    }
  }
  return bytes;
}

std::wstring decodeUtf16Le(const char* data, std::size_t size) {
  std::wstring text;
  text.reserve(size / 2);
  auto unit = [&](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(data[i]) | (static_cast<unsigned char>(data[i + 1]) << 8));
  };
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    char32_t cp = unit(i);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 3 < size) {
      const char32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    text.push_back(static_cast<wchar_t>(cp));
  }
  return text;
}

}  // namespace platform
