#include "platform/automation/Guid.h"

#include <array>
#include <cwchar>
#include <new>

namespace platform::automation {
namespace {

constexpr std::size_t kBracedLength = 38;
// Positions of the dashes inside the braced form, counted from the opening brace.
constexpr std::array<std::size_t, 4> kDashPositions{9, 14, 19, 24};

int hexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

bool isDashPosition(std::size_t i) {
  for (std::size_t p : kDashPositions) {
    if (p == i) return true;
  }
  return false;
}

// The 32 hex digits in text order, or nullopt when the punctuation or a digit is wrong.
std::optional<std::array<std::uint8_t, 32>> hexDigits(std::wstring_view text) {
  if (text.size() != kBracedLength || text.front() != L'{' || text.back() != L'}') return std::nullopt;
  std::array<std::uint8_t, 32> digits{};
  std::size_t n = 0;
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    if (isDashPosition(i)) {
      if (text[i] != L'-') return std::nullopt;
      continue;
    }
    int v = hexValue(text[i]);
    if (v < 0) return std::nullopt;
    digits[n++] = static_cast<std::uint8_t>(v);
  }
  return digits;
}

std::uint32_t fold(const std::array<std::uint8_t, 32>& digits, std::size_t first, std::size_t count) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = (value << 4) | digits[first + i];
  return value;
}

}  // namespace

std::optional<GUID> parseGuid(std::wstring_view text) {
  auto digits = hexDigits(text);
  if (!digits) return std::nullopt;
  GUID guid{};
  guid.Data1 = fold(*digits, 0, 8);
  guid.Data2 = static_cast<std::uint16_t>(fold(*digits, 8, 4));
  guid.Data3 = static_cast<std::uint16_t>(fold(*digits, 12, 4));
  for (std::size_t i = 0; i < 8; ++i) {
    guid.Data4[i] = static_cast<std::uint8_t>(fold(*digits, 16 + 2 * i, 2));
  }
  return guid;
}

std::wstring formatGuid(const GUID& guid) {
  wchar_t buffer[kBracedLength + 1];
  std::swprintf(buffer, kBracedLength + 1, L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1], guid.Data4[2],
                guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return std::wstring(buffer, kBracedLength);
}

}  // namespace platform::automation

HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid) {
  if (text == nullptr || clsid == nullptr) return E_INVALIDARG;
  auto parsed = platform::automation::parseGuid(text);
  if (!parsed) return E_INVALIDARG;
  *clsid = *parsed;
  return S_OK;
}

HRESULT IIDFromString(LPCOLESTR text, LPIID iid) { return CLSIDFromString(text, iid); }

int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int cchMax) {
  constexpr int kBraced = 38;  // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
  if (buffer == nullptr || cchMax < kBraced + 1) return 0;
  try {
    const std::wstring text = platform::automation::formatGuid(guid);
    text.copy(buffer, text.size());
    buffer[text.size()] = L'\0';
    return static_cast<int>(text.size() + 1);
  } catch (const std::bad_alloc&) {
    return 0;  // the function's only failure answer
  }
}
