// The entry points an automation runtime looks for in the component module.
#include "component/CoCVxVirusScan.h"
#include "component/CoVxSuspiciousScan.h"
#include "component/OvrascanExports.h"
#include "component/VxClassFactory.h"

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  // Class objects are created on their first request (thread-safe static
  // initialisation) and kept while the module is loaded.
  if (rclsid == CLSID_CoCVxVirusScan) {
    static CVxClassFactory<CoCVxVirusScan> factory;
    return factory.QueryInterface(riid, ppv);
  }
  if (rclsid == CLSID_VxSuspiciousScan) {
    static CVxClassFactory<CoVxSuspiciousScan> factory;
    return factory.QueryInterface(riid, ppv);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return COvrascanModule::instance().GetLockCount() == 0 ? S_OK : S_FALSE;
}
