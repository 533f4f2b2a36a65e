#include "platform/automation/Variant.h"

#include "platform/automation/Dispatch.h"

namespace platform::automation {

bool isSupportedVariantType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_BOOL:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_UNKNOWN:
      return true;
    default:
      return false;
  }
}

}  // namespace platform::automation

void VariantInit(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return;
  pvarg->vt = VT_EMPTY;
  pvarg->wReserved1 = pvarg->wReserved2 = pvarg->wReserved3 = 0;
  pvarg->llVal = 0;
}

HRESULT VariantClear(VARIANTARG* pvarg) {
  if (pvarg == nullptr) return E_INVALIDARG;
  if (!platform::automation::isSupportedVariantType(pvarg->vt)) return DISP_E_BADVARTYPE;
  switch (pvarg->vt) {
    case VT_BSTR:
      SysFreeString(pvarg->bstrVal);
      break;
    case VT_DISPATCH:
      if (pvarg->pdispVal != nullptr) pvarg->pdispVal->Release();
      break;
    case VT_UNKNOWN:
      if (pvarg->punkVal != nullptr) pvarg->punkVal->Release();
      break;
    default:
      break;
  }
  VariantInit(pvarg);
  return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
  if (pvargDest == nullptr || pvargSrc == nullptr) return E_INVALIDARG;
  if (pvargDest == pvargSrc) return S_OK;
  if (!platform::automation::isSupportedVariantType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
  // The copy is made before the destination is cleared, so that a failed copy leaves
  // the destination as it was.
  VARIANT copy = *pvargSrc;
  if (copy.vt == VT_BSTR && copy.bstrVal != nullptr) {
    copy.bstrVal = SysAllocStringLen(pvargSrc->bstrVal, SysStringLen(pvargSrc->bstrVal));
    if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
  }
  HRESULT hr = VariantClear(pvargDest);
  if (FAILED(hr)) {
    if (copy.vt == VT_BSTR) SysFreeString(copy.bstrVal);
    return hr;
  }
  if (copy.vt == VT_DISPATCH && copy.pdispVal != nullptr) copy.pdispVal->AddRef();
  if (copy.vt == VT_UNKNOWN && copy.punkVal != nullptr) copy.punkVal->AddRef();
  *pvargDest = copy;
  return S_OK;
}
