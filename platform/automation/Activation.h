#pragma once
// Activation: creating an object by class identity or ProgID, as the system's
// object runtime does. The system objects the component uses (the global
// interface table) are served here; every other class is an in-process server
// found in the registry store (HKEY_CLASSES_ROOT, platform/Registry.h):
//
//   ProgID\CLSID                     = {CLSID}
//   CLSID\{CLSID}\InprocServer32     = absolute path of the module
//
// The module is loaded once (dlopen) and asked for the class object with its
// DllGetClassObject. A server path must be absolute and free of symbolic links
// in every component, and name a regular file; loaded servers stay mapped until
// the process exits (a module may keep process-wide state, such as its log, and
// threads that outlive its last object).
//
// Results as on Windows: an unknown ProgID CO_E_CLASSSTRING; a CLSID without a
// registered in-process server REGDB_E_CLASSNOTREG; a server file that cannot
// be loaded HRESULT_FROM_WIN32(126), one behind a link HRESULT_FROM_WIN32(1921);
// a module without DllGetClassObject CO_E_ERRORINDLL; otherwise the server's own
// results.
//
// Safe from any thread.
#include <string>

#include "platform/automation/Unknown.h"

inline constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
inline constexpr DWORD CLSCTX_ALL = 0x17;

HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid);
HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv);
HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);

namespace platform::automation {

// The registered in-process server of a class: its module path, or an empty
// text with the result CoGetClassObject would give.
HRESULT inprocServerPath(REFCLSID clsid, std::wstring& path);

// What the loaded server of the class says to DllCanUnloadNow (the question
// the system asks before freeing unused libraries); S_OK when it is not loaded.
HRESULT inprocServerCanUnloadNow(REFCLSID clsid);

}  // namespace platform::automation
