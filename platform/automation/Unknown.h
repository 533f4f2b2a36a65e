#pragma once
// IUnknown: the root of every automation interface. Interfaces are abstract classes
// whose first three virtual slots are QueryInterface, AddRef and Release, so the vtable
// has the layout automation clients expect.
//
// Implementations must make AddRef and Release safe from any thread (atomic counts);
// QueryInterface is called concurrently as well.
#include "platform/automation/Guid.h"

inline constexpr IID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class IUnknown {
 public:
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  // Objects die through Release, never through a pointer to the interface.
  ~IUnknown() = default;
};
using LPUNKNOWN = IUnknown*;
