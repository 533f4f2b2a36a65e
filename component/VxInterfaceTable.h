#pragma once
// CVxInterfaceTable: the process's table of script callbacks. Each interface
// identifier names at most one registration in the global interface table, so any
// thread (the kernel's among them) can fetch the script object registered on the
// script's thread, marshalled for itself.
//
// A new registration of an identifier replaces the earlier one and revokes it, so a
// replaced script object is released instead of being kept until process exit.
// revokeAll forgets every registration; later gets yield null until a new register.
//
// Thread-safety: every method is safe from any thread without external
// synchronisation. Revocations run outside the table's lock: revoking releases a
// script object, whose destruction may call back into us.
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/automation/Automation.h"
#include "platform/automation/ComPtr.h"

class CVxInterfaceTable {
 public:
  // The process's one table, created on first use.
  static CVxInterfaceTable& instance();

  // The global interface table's failure, if it refuses the registration;
  // E_OUTOFMEMORY when the table cannot remember it (nothing changes then).
  HRESULT registerInterface(REFIID iid, IUnknown* object);
  // A new counted reference of what is registered under iid (queried for iid), or
  // null when nothing is.
  platform::automation::com_ptr<IUnknown> get(REFIID iid);
  void revokeAll();

 private:
  struct IidHash {
    std::size_t operator()(const IID& iid) const;
  };

  CVxInterfaceTable();

  IGlobalInterfaceTable& git_;
  std::mutex lock_;
  std::unordered_map<IID, DWORD, IidHash> cookies_;
};
