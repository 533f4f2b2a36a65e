// The entry points an automation runtime looks for in the component module.
#include "component/CoCVxVirusScan.h"
#include "component/OvrascanExports.h"
#include "component/VxClassFactory.h"

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!(rclsid == CLSID_CoCVxVirusScan)) return CLASS_E_CLASSNOTAVAILABLE;
  // Created on the first request (thread-safe static initialisation) and kept while
  // the module is loaded.
  static CVxClassFactory<CoCVxVirusScan> factory;
  return factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return COvrascanModule::instance().GetLockCount() == 0 ? S_OK : S_FALSE;
}
