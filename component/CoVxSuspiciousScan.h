#pragma once
// CoVxSuspiciousScan: the suspicious-scan object as this module serves it. It
// holds one module lock while alive, as every object of the module does, so
// that DllCanUnloadNow answers S_FALSE while a script still uses it.
//
// It is also where a script's texts enter: a tool path (Configure) whose BSTR
// holds a NUL within its counted length is refused with E_INVALIDARG before
// the object sees it, since the ".exe" test would read the whole text and the
// open only the part before the NUL.
#include "component/VxOvrascanModule.h"
#include "suspicious/VxSuspScanDispImpl.h"

class CoVxSuspiciousScan : public CVxSuspScanDispImpl {
 public:
  HRESULT STDMETHODCALLTYPE Configure(VARIANT vtToolPath, VARIANT* vtRetVal) override;

 protected:
  ~CoVxSuspiciousScan() = default;

 private:
  COvrascanModule::LockHolder moduleLock_;
};
