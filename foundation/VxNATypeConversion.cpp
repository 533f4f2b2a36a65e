#include "foundation/VxNATypeConversion.h"

#include "platform/Utf8.h"

std::string VxNATypeConversion::wideBufferToAnsiString(const wchar_t* text,
                                                       std::uint32_t count) {
  return platform::encodeUtf8(text, count);
}

std::string VxNATypeConversion::wideBufferToAnsiString(std::wstring text) {
  return wideBufferToAnsiString(text.data(), static_cast<std::uint32_t>(text.size()));
}

std::wstring VxNATypeConversion::ansiBufferToWideString(const char* text, std::uint32_t count) {
  return platform::decodeUtf8(text, count);
}

std::wstring VxNATypeConversion::ansiBufferToWideString(std::string text) {
  return ansiBufferToWideString(text.data(), static_cast<std::uint32_t>(text.size()));
}
