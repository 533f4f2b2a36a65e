#pragma once
// VARIANTs that show a value without owning anything: a number, or a BSTR or an
// interface that the caller keeps alive. For passing arguments to Invoke and to
// script methods; they are never cleared.
//
// Values only; safe from any thread.
#include <cstdint>

#include "platform/automation/Variant.h"

namespace platform::automation {

// vt is one of the 4-byte integer types (VT_I4, VT_UI4, VT_INT, VT_UINT).
inline VARIANT variantOfNumber(VARTYPE vt, std::uint32_t value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  v.ulVal = value;
  return v;
}

inline VARIANT variantOfBool(VARIANT_BOOL value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BOOL;
  v.boolVal = value;
  return v;
}

inline VARIANT variantOfBstr(BSTR text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = text;
  return v;
}

inline VARIANT variantOfDispatch(IDispatch* object) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_DISPATCH;
  v.pdispVal = object;
  return v;
}

}  // namespace platform::automation
