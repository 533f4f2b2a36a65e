// The struct form of a settings value: each byte as two upper-case hexadecimal
// digits, then the checksum byte (sum of the bytes modulo 256) the same way.
// Reading takes a value only when it has exactly the length of the wanted
// bytes plus the checksum, and only when the checksum matches.
#include <algorithm>
#include <string>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/PrivateProfile.h"

namespace platform {

namespace {

constexpr std::uint32_t kErrorBadLength = 24;
constexpr std::uint32_t kErrorInvalidData = 13;

int hexDigitValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  return -1;
}

void appendHexByte(std::wstring& text, std::uint8_t byte) {
  constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
  text.push_back(kDigits[byte >> 4]);
  text.push_back(kDigits[byte & 0x0F]);
}

}  // namespace

std::uint32_t writePrivateProfileStruct(const std::string& path, std::wstring_view section,
                                        std::wstring_view key, std::span<const std::uint8_t> bytes) {
  std::wstring text;
  text.reserve(bytes.size() * 2 + 2);
  std::uint8_t checksum = 0;
  for (const std::uint8_t byte : bytes) {
    appendHexByte(text, byte);
    checksum = static_cast<std::uint8_t>(checksum + byte);
  }
  appendHexByte(text, checksum);
  return writePrivateProfileString(path, section, key, text);
}

std::uint32_t readPrivateProfileStruct(const std::string& path, std::wstring_view section,
                                       std::wstring_view key, std::span<std::uint8_t> bytes) {
  const std::size_t wanted = bytes.size() * 2 + 2;
  // A marker no stored value can hold (no hexadecimal digit) tells a missing key
  // from an empty value; the buffer holds one character more than a fitting
  // value, so that a longer one shows as longer.
  constexpr std::wstring_view kMissing = L"<missing>";
  std::wstring text;
  const std::size_t bufferSize = std::max(wanted + 2, kMissing.size() + 1);
  readPrivateProfileString(path, section, key, kMissing, static_cast<std::uint32_t>(bufferSize), text);
  if (text == kMissing) return kErrorFileNotFound;
  if (text.size() != wanted) return kErrorBadLength;
  std::vector<std::uint8_t> decoded(bytes.size() + 1);
  std::uint8_t checksum = 0;
  for (std::size_t i = 0; i < decoded.size(); ++i) {
    const int high = hexDigitValue(text[2 * i]);
    const int low = hexDigitValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return kErrorInvalidData;
    decoded[i] = static_cast<std::uint8_t>(high * 16 + low);
    if (i < bytes.size()) checksum = static_cast<std::uint8_t>(checksum + decoded[i]);
  }
  if (checksum != decoded.back()) return kErrorInvalidData;
  std::copy(decoded.begin(), decoded.end() - 1, bytes.begin());
  return 0;
}

}  // namespace platform
