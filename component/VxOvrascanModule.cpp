#include "component/VxOvrascanModule.h"

COvrascanModule& COvrascanModule::instance() {
  static COvrascanModule module;
  return module;
}

LONG COvrascanModule::Lock() { return ++locks_; }

LONG COvrascanModule::Unlock() { return --locks_; }

LONG COvrascanModule::GetLockCount() const { return locks_; }

HRESULT COvrascanModule::GetGITPtr(IGlobalInterfaceTable** table) {
  if (table == nullptr) return E_POINTER;
  *table = &platform::automation::globalInterfaceTable();
  (*table)->AddRef();
  return S_OK;
}
