#pragma once
// CoVxSuspiciousScan: the suspicious-scan object as this module serves it. It
// holds one module lock while alive, as every object of the module does, so
// that DllCanUnloadNow answers S_FALSE while a script still uses it.
#include "component/VxOvrascanModule.h"
#include "suspicious/VxSuspScanDispImpl.h"

class CoVxSuspiciousScan : public CVxSuspScanDispImpl {
 protected:
  ~CoVxSuspiciousScan() = default;

 private:
  COvrascanModule::LockHolder moduleLock_;
};
