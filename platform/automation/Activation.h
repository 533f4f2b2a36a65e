#pragma once
// CoCreateInstance: creating an object by class identity. On Linux the system objects
// the component uses (the global interface table) are served here; registered
// in-process servers are not activated yet and answer REGDB_E_CLASSNOTREG.
//
// Safe from any thread.
#include "platform/automation/Unknown.h"

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_ALL = 0x17;

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
