#include "platform/automation/Activation.h"

#include "platform/automation/GlobalInterfaceTable.h"

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (!(rclsid == CLSID_StdGlobalInterfaceTable)) return REGDB_E_CLASSNOTREG;
  if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
  if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  return platform::automation::globalInterfaceTable().QueryInterface(riid, ppv);
}
