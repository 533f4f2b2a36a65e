#pragma once
// ObjectLifetime: the reference count of an automation object and the rules the
// shells ComObject and ComAggObject share. FinalConstruct runs with a reference
// held, so that one it hands out and drops does not free the object; the last
// Release runs FinalRelease (unless FinalConstruct failed) with a reference held,
// for the same reason, and then lets the shell free itself.
//
// Thread-safety: addRef and release may be called from any thread at once (the
// count is atomic); construct runs once, before the object is shared.
#include <atomic>

#include "platform/automation/ComPtr.h"

namespace platform::automation {

class ObjectLifetime {
 public:
  template <class FinalConstruct>
  HRESULT construct(FinalConstruct&& finalConstruct) {
    ++references_;
    const HRESULT hr = finalConstruct();
    --references_;
    if (FAILED(hr)) constructFailed_ = true;
    return hr;
  }

  ULONG addRef() { return ++references_; }

  // Drops a reference; the last one runs finalRelease and then destroy, which
  // frees the shell and this count with it. Returns the references left.
  template <class FinalRelease, class Destroy>
  ULONG release(FinalRelease&& finalRelease, Destroy&& destroy) {
    const ULONG left = --references_;
    if (left == 0) {
      references_ = 1;
      if (!constructFailed_) finalRelease();
      destroy();
    }
    return left;
  }

 private:
  std::atomic<ULONG> references_{1};
  bool constructFailed_ = false;
};

}  // namespace platform::automation
