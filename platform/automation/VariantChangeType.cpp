// Conversion goes through one of three intermediate forms: an integer (numbers,
// booleans and VT_EMPTY), a text, or an interface pointer. Each target type then
// takes the forms it can: that keeps the table of pairs small and makes every
// pair behave the same whichever way round it is used.
#include <cwctype>
#include <limits>
#include <optional>
#include <string>

#include "platform/automation/Dispatch.h"
#include "platform/automation/Variant.h"

namespace {

using platform::automation::isSupportedVariantType;

struct Outcome {
  HRESULT hr;
  VARIANT value;
};

Outcome failure(HRESULT hr) {
  VARIANT empty;
  VariantInit(&empty);
  return {hr, empty};
}

Outcome success(VARIANT value) { return {S_OK, value}; }

bool isIntegral(VARTYPE vt) {
  return vt == VT_EMPTY || vt == VT_I4 || vt == VT_UI4 || vt == VT_INT || vt == VT_UINT || vt == VT_BOOL;
}

std::int64_t integralValue(const VARIANT& v) {
  switch (v.vt) {
    case VT_I4:
      return v.lVal;
    case VT_INT:
      return v.intVal;
    case VT_UI4:
      return v.ulVal;
    case VT_UINT:
      return v.uintVal;
    case VT_BOOL:
      return v.boolVal;
    default:
      return 0;
  }
}

std::wstring_view textOf(const VARIANT& v) { return std::wstring_view(v.bstrVal, SysStringLen(v.bstrVal)); }

std::wstring_view trimmed(std::wstring_view text) {
  while (!text.empty() && std::iswspace(text.front())) text.remove_prefix(1);
  while (!text.empty() && std::iswspace(text.back())) text.remove_suffix(1);
  return text;
}

bool equalsIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  }
  return true;
}

// A decimal number with an optional sign; values beyond 64 bits saturate, which the
// caller's range check then reports as an overflow.
std::optional<std::int64_t> parseInteger(std::wstring_view text) {
  text = trimmed(text);
  bool negative = false;
  if (!text.empty() && (text.front() == L'-' || text.front() == L'+')) {
    negative = text.front() == L'-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  constexpr std::int64_t kCap = std::numeric_limits<std::int64_t>::max() / 16;
  std::int64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    if (value < kCap) value = value * 10 + (c - L'0');
  }
  return negative ? -value : value;
}

Outcome makeIntegral(VARTYPE vt, std::int64_t value) {
  VARIANT out;
  VariantInit(&out);
  out.vt = vt;
  switch (vt) {
    case VT_I4:
    case VT_INT:
      if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max()) {
        return failure(DISP_E_OVERFLOW);
      }
      out.lVal = static_cast<LONG>(value);
      break;
    case VT_UI4:
    case VT_UINT:
      if (value < 0 || value > std::numeric_limits<std::uint32_t>::max()) return failure(DISP_E_OVERFLOW);
      out.ulVal = static_cast<ULONG>(value);
      break;
    case VT_BOOL:
      out.boolVal = value != 0 ? VARIANT_TRUE : VARIANT_FALSE;
      break;
    default:
      return failure(DISP_E_TYPEMISMATCH);
  }
  return success(out);
}

Outcome fromText(std::wstring_view text, VARTYPE vt) {
  if (vt == VT_BOOL) {
    if (equalsIgnoringCase(trimmed(text), L"true")) return makeIntegral(VT_BOOL, 1);
    if (equalsIgnoringCase(trimmed(text), L"false")) return makeIntegral(VT_BOOL, 0);
  }
  auto number = parseInteger(text);
  if (!number) return failure(DISP_E_TYPEMISMATCH);
  return makeIntegral(vt, *number);
}

Outcome makeText(std::wstring_view text) {
  VARIANT out;
  VariantInit(&out);
  out.vt = VT_BSTR;
  out.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (out.bstrVal == nullptr) return failure(E_OUTOFMEMORY);
  return success(out);
}

Outcome toText(const VARIANT& src, USHORT flags) {
  if (src.vt == VT_BSTR) return makeText(textOf(src));
  if (src.vt == VT_BOOL && (flags & VARIANT_ALPHABOOL) != 0) {
    return makeText(src.boolVal != 0 ? L"True" : L"False");
  }
  if (!isIntegral(src.vt)) return failure(DISP_E_TYPEMISMATCH);
  if (src.vt == VT_EMPTY) return makeText(L"");
  return makeText(std::to_wstring(integralValue(src)));
}

IUnknown* interfaceOf(const VARIANT& v) {
  return v.vt == VT_DISPATCH ? static_cast<IUnknown*>(v.pdispVal) : v.punkVal;
}

// Another face of the same object: the reference the result owns comes from
// QueryInterface (a null pointer stays null).
Outcome toInterface(const VARIANT& src, VARTYPE vt) {
  if (src.vt != VT_DISPATCH && src.vt != VT_UNKNOWN) return failure(DISP_E_TYPEMISMATCH);
  VARIANT out;
  VariantInit(&out);
  out.vt = vt;
  IUnknown* object = interfaceOf(src);
  if (object == nullptr) return success(out);
  void* face = nullptr;
  HRESULT hr = object->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown, &face);
  if (FAILED(hr) || face == nullptr) return failure(E_NOINTERFACE);
  if (vt == VT_DISPATCH) {
    out.pdispVal = static_cast<IDispatch*>(face);
  } else {
    out.punkVal = static_cast<IUnknown*>(face);
  }
  return success(out);
}

Outcome convert(const VARIANT& src, USHORT flags, VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY: {
      VARIANT out;
      VariantInit(&out);
      return success(out);
    }
    case VT_NULL: {
      if (src.vt != VT_NULL && src.vt != VT_EMPTY) return failure(DISP_E_TYPEMISMATCH);
      VARIANT out;
      VariantInit(&out);
      out.vt = VT_NULL;
      return success(out);
    }
    case VT_BSTR:
      return toText(src, flags);
    case VT_DISPATCH:
    case VT_UNKNOWN:
      return toInterface(src, vt);
    default:
      if (src.vt == VT_BSTR) return fromText(textOf(src), vt);
      if (!isIntegral(src.vt)) return failure(DISP_E_TYPEMISMATCH);
      return makeIntegral(vt, integralValue(src));
  }
}

}  // namespace

HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
  if (pvargDest == nullptr || pvarSrc == nullptr) return E_INVALIDARG;
  if (!isSupportedVariantType(vt) || !isSupportedVariantType(pvarSrc->vt)) return DISP_E_BADVARTYPE;
  // A value that already has the type is copied unchanged, as Windows does: a
  // VARIANT_BOOL of 1 stays 1 and is not made VARIANT_TRUE.
  if (pvarSrc->vt == vt) return pvargDest == pvarSrc ? S_OK : VariantCopy(pvargDest, pvarSrc);
  Outcome outcome = convert(*pvarSrc, wFlags, vt);
  if (FAILED(outcome.hr)) return outcome.hr;
  // The source is read completely before the destination is cleared: they may be the
  // same VARIANT.
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    VariantClear(&outcome.value);
    return hr;
  }
  *pvargDest = outcome.value;
  return S_OK;
}
