#pragma once
// ComAggObject<T>: an automation object class T created inside an outer object
// (aggregation), in the manner of ATL's CComAggObject. T is written as for
// ComObject<T> (platform/automation/ComObject.h).
//
// The aggregate has two unknowns. The object's own faces delegate QueryInterface,
// AddRef and Release to the outer object, so that a client holding any face sees
// the outer object's identity and count. The ComAggObject itself is the
// non-delegating unknown that only the outer object holds: its QueryInterface
// answers IID_IUnknown with itself and T's faces for the rest, and its count
// decides the inner object's life. Releasing it for the last time runs
// FinalRelease and frees the object.
//
// Thread-safety: as ComObject<T>.
#include <new>

#include "platform/automation/ComPtr.h"
#include "platform/automation/ObjectLifetime.h"

namespace platform::automation {

template <class T>
class ComAggObject final : public IUnknown {
 public:
  // Creates the inner object of `outer` with one reference on its non-delegating
  // unknown, held by `created`. E_POINTER without an outer object, E_OUTOFMEMORY,
  // or FinalConstruct's failure (the object is then already gone).
  static HRESULT create(IUnknown* outer, com_ptr<ComAggObject>& created) {
    created.reset();
    if (outer == nullptr) return E_POINTER;
    auto* object = new (std::nothrow) ComAggObject(outer);
    if (object == nullptr) return E_OUTOFMEMORY;
    auto owner = com_ptr<ComAggObject>::attach(object);
    if (const HRESULT hr = object->lifetime_.construct([object] { return object->contained_.FinalConstruct(); });
        FAILED(hr)) {
      return hr;
    }
    created = std::move(owner);
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    if (riid == IID_IUnknown) {
      *ppvObject = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    *ppvObject = contained_.interfaceFor(riid);
    if (*ppvObject == nullptr) return E_NOINTERFACE;
    contained_.AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return lifetime_.addRef(); }
  ULONG STDMETHODCALLTYPE Release() override {
    return lifetime_.release([this] { contained_.FinalRelease(); }, [this] { delete this; });
  }

 private:
  // T with its unknown delegated to the outer object.
  class Contained final : public T {
   public:
    explicit Contained(IUnknown* outer) : outer_(outer) {}
    ~Contained() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
      return outer_->QueryInterface(riid, ppvObject);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return outer_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return outer_->Release(); }

   private:
    IUnknown* const outer_;  // not counted: the outer object owns this one
  };

  explicit ComAggObject(IUnknown* outer) : contained_(outer) {}
  ~ComAggObject() = default;

  Contained contained_;
  ObjectLifetime lifetime_;
};

}  // namespace platform::automation
