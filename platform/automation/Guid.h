#pragma once
// GUID, IID and CLSID: the 128-bit identities of interfaces and classes, with the
// braced text form "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" used by the registry and
// by logs. CLSIDFromString/IIDFromString/StringFromGUID2 have the SDK's signatures;
// parseGuid/formatGuid are the C++ forms the rest of the platform layer uses.
//
// Values and pure functions; safe from any thread.
#include <optional>
#include <string>
#include <string_view>

#include "platform/automation/HResult.h"

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPCLSID = CLSID*;
using LPIID = IID*;

inline constexpr bool IsEqualGUID(REFGUID a, REFGUID b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}
inline constexpr bool IsEqualIID(REFIID a, REFIID b) { return IsEqualGUID(a, b); }
inline constexpr bool IsEqualCLSID(REFCLSID a, REFCLSID b) { return IsEqualGUID(a, b); }
inline constexpr bool operator==(REFGUID a, REFGUID b) { return IsEqualGUID(a, b); }

inline constexpr IID IID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
inline constexpr CLSID CLSID_NULL{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

// Parses the braced form (hex digits in either case); S_OK or E_INVALIDARG
// (the SDK's CO_E_CLASSSTRING has no use here: nothing is looked up by name).
HRESULT CLSIDFromString(LPCOLESTR text, LPCLSID clsid);
HRESULT IIDFromString(LPCOLESTR text, LPIID iid);
// Writes the braced form (upper-case hex, as Windows does) and its NUL; returns the
// characters written including the NUL, or 0 when cchMax is below 39.
int StringFromGUID2(REFGUID guid, LPOLESTR buffer, int cchMax);

namespace platform::automation {

// The braced form, exactly 38 characters; nullopt for anything else.
std::optional<GUID> parseGuid(std::wstring_view text);
std::wstring formatGuid(const GUID& guid);

}  // namespace platform::automation
