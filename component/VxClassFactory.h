#pragma once
// CVxClassFactory<T>: the class object of an automation class T, as DllGetClassObject
// hands it out: CreateInstance makes a new ComObject<T> and queries it for the
// requested interface. Class objects live as long as the module, so their counts
// mean nothing; LockServer holds the module instead.
//
// Aggregation is not offered yet: an outer unknown is refused with
// CLASS_E_NOAGGREGATION.
//
// Thread-safety: every method is safe from any thread at once.
#include "component/VxOvrascanModule.h"
#include "platform/automation/ComObject.h"

template <class T>
class CVxClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppvObject = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    platform::automation::com_ptr<platform::automation::ComObject<T>> object;
    if (const HRESULT hr = platform::automation::ComObject<T>::create(object); FAILED(hr)) return hr;
    return object->QueryInterface(riid, ppvObject);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override {
    if (fLock) {
      COvrascanModule::instance().Lock();
    } else {
      COvrascanModule::instance().Unlock();
    }
    return S_OK;
  }
};
