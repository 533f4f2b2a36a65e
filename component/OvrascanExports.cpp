// The entry points an automation runtime looks for in the component module.
#include "component/OvrascanExports.h"

#include "component/VxOvrascanModule.h"

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return COvrascanModule::instance().GetClassObject(rclsid, riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return COvrascanModule::instance().GetLockCount() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() { return COvrascanModule::instance().RegisterServer(TRUE); }

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() {
  return COvrascanModule::instance().UnregisterServer(TRUE);
}

// The command line is not used: installing registers everything, and a
// registration that fails part way is undone whole: the type library undoes its
// own partial writes, and unregistration removes every other piece, going on
// past pieces that were never written.
extern "C" HRESULT STDAPICALLTYPE DllInstall(BOOL bInstall, LPCWSTR /*pszCmdLine*/) {
  COvrascanModule& module = COvrascanModule::instance();
  if (!bInstall) return module.UnregisterServer(TRUE);
  const HRESULT hr = module.RegisterServer(TRUE);
  if (FAILED(hr)) module.UnregisterServer(TRUE);
  return hr;
}
