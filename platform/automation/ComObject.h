#pragma once
// ComObject<T>: the reference-counted shell of an automation object class T, in the
// manner of ATL's CComObject. T declares its interfaces as bases and provides
//
//   HRESULT FinalConstruct();                        // after construction; failure destroys
//   void FinalRelease();                             // before destruction
//   void* interfaceFor(REFIID riid);                 // the face for riid, or null
//
// ComObject overrides QueryInterface, AddRef and Release of every base at once, so
// all faces share one count. The object deletes itself when the count reaches 0,
// after FinalRelease; this is the one place objects are freed by hand.
//
// Thread-safety: AddRef, Release and QueryInterface may be called from any thread at
// once (the count is atomic); T's methods state their own contract.
#include <new>
#include <utility>

#include "platform/automation/ComPtr.h"
#include "platform/automation/ObjectLifetime.h"

namespace platform::automation {

template <class T>
class ComObject final : public T {
 public:
  // Creates an object with one reference, held by `created`. E_OUTOFMEMORY, or
  // FinalConstruct's failure (the object is then already gone).
  template <class... Args>
  static HRESULT create(com_ptr<ComObject>& created, Args&&... args) {
    created.reset();
    auto* object = new (std::nothrow) ComObject(std::forward<Args>(args)...);
    if (object == nullptr) return E_OUTOFMEMORY;
    auto owner = com_ptr<ComObject>::attach(object);
    // On failure the owner's release frees the object without FinalRelease.
    if (const HRESULT hr = object->lifetime_.construct([object] { return object->FinalConstruct(); }); FAILED(hr)) {
      return hr;
    }
    created = std::move(owner);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = this->interfaceFor(riid);
    if (*ppvObject == nullptr) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return lifetime_.addRef(); }
  ULONG STDMETHODCALLTYPE Release() override {
    return lifetime_.release([this] { this->FinalRelease(); }, [this] { delete this; });
  }

 private:
  template <class... Args>
  explicit ComObject(Args&&... args) : T(std::forward<Args>(args)...) {}
  ~ComObject() = default;

  ObjectLifetime lifetime_;
};

}  // namespace platform::automation
