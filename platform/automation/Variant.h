#pragma once
// VARIANT: the tagged value of late-bound calls, with the SDK's functions to
// initialise, clear, copy and convert one. Supported types are the ones the
// component exchanges with scripts: VT_EMPTY, VT_NULL, VT_I4, VT_UI4, VT_INT, VT_UINT,
// VT_BOOL, VT_BSTR, VT_DISPATCH and VT_UNKNOWN; any other type is refused with
// DISP_E_BADVARTYPE rather than misread.
//
// Ownership: a VARIANT owns its BSTR and one reference of its interface pointer;
// VariantClear gives them back. The functions are safe from any thread; one VARIANT
// must not be used from two threads at once.
#include "platform/automation/Bstr.h"
#include "platform/automation/HResult.h"
#include "platform/automation/Unknown.h"

class IDispatch;

using VARTYPE = USHORT;
using VARIANT_BOOL = SHORT;

#define VARIANT_TRUE (static_cast<VARIANT_BOOL>(-1))
#define VARIANT_FALSE (static_cast<VARIANT_BOOL>(0))

enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_INT = 22,
  VT_UINT = 23,
  VT_BYREF = 0x4000,
};

// Flags of VariantChangeType.
inline constexpr USHORT VARIANT_NOVALUEPROP = 0x01;
inline constexpr USHORT VARIANT_ALPHABOOL = 0x02;

// Windows nests the value union in further unions; the member names are the same,
// which is all that source compatibility needs.
struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONGLONG llVal;
    LONG lVal;
    BYTE bVal;
    SHORT iVal;
    VARIANT_BOOL boolVal;
    SCODE scode;
    BSTR bstrVal;
    IUnknown* punkVal;
    IDispatch* pdispVal;
    USHORT uiVal;
    ULONG ulVal;
    INT intVal;
    UINT uintVal;
    void* byref;
  };
};
using VARIANTARG = VARIANT;
using LPVARIANT = VARIANT*;

void VariantInit(VARIANTARG* pvarg);
// Gives back what the value owns and leaves VT_EMPTY; DISP_E_BADVARTYPE (value
// untouched) for an unsupported type.
HRESULT VariantClear(VARIANTARG* pvarg);
// Clears the destination, then copies: a new BSTR (embedded NULs kept), a new
// reference of an interface.
HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
// Converts to `vt`; source and destination may be the same VARIANT. On failure the
// destination is unchanged. Errors: DISP_E_BADVARTYPE (type not supported),
// DISP_E_TYPEMISMATCH (no conversion, or text that is no number/boolean),
// DISP_E_OVERFLOW (value out of range), E_OUTOFMEMORY, E_NOINTERFACE (an object
// without IDispatch converted to VT_DISPATCH).
HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt);

namespace platform::automation {

bool isSupportedVariantType(VARTYPE vt);

}  // namespace platform::automation
