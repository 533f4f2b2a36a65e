#pragma once
// COvrascanModule: the component module's process-wide bookkeeping. Every live
// object holds one module lock; the module may be unloaded when none is held.
//
// Thread-safety: every method is safe from any thread (atomic count).
#include <atomic>

#include "platform/automation/Automation.h"

class COvrascanModule {
 public:
  // The module of this process, created on first use.
  static COvrascanModule& instance();

  virtual ~COvrascanModule() = default;
  // Each returns the new count.
  virtual LONG Lock();
  virtual LONG Unlock();
  virtual LONG GetLockCount() const;
  // The process's global interface table, with a reference added; E_POINTER for a
  // null target.
  virtual HRESULT GetGITPtr(IGlobalInterfaceTable** table);

  // One module lock for the life of its holder, as objects take it.
  class LockHolder {
   public:
    LockHolder() { COvrascanModule::instance().Lock(); }
    ~LockHolder() { COvrascanModule::instance().Unlock(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
  };

 private:
  std::atomic<LONG> locks_{0};
};
