#pragma once
// CVxClassFactory<T>: the class object of an automation class T, as
// DllGetClassObject hands it out. The module keeps one reference to it in its
// object map; every further reference, held by a client, holds the module as
// an object does, so that DllCanUnloadNow answers S_FALSE while a client keeps
// a class object.
//
// CreateInstance, in order:
// - E_POINTER for a null target;
// - with an outer object, any interface but IUnknown is refused with
//   CLASS_E_NOAGGREGATION, as aggregation requires;
// - a calling process that fails validation (process/CallerValidation.h) is
//   refused with E_ACCESSDENIED and logged;
// - a new object (ComObject<T>, or ComAggObject<T> inside the outer object),
//   queried for the interface; a failure destroys it and is returned.
//
// Thread-safety: every method is safe from any thread at once.
#include <atomic>
#include <new>

#include "component/VxOvrascanModule.h"
#include "foundation/VxLogStream.h"
#include "platform/automation/ComAggObject.h"
#include "platform/automation/ComObject.h"
#include "process/CallerValidation.h"

template <class T>
class CVxClassFactory final : public IClassFactory {
 public:
  // A new class object with the module's reference.
  static HRESULT create(IUnknown** classObject) {
    if (classObject == nullptr) return E_POINTER;
    *classObject = new (std::nothrow) CVxClassFactory();
    return *classObject == nullptr ? E_OUTOFMEMORY : S_OK;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppvObject = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    const ULONG count = ++references_;
    if (count == 2) COvrascanModule::instance().Lock();
    return count;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = --references_;
    if (count == 1) COvrascanModule::instance().Unlock();
    if (count == 0) delete this;
    return count;
  }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter != nullptr && !(riid == IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    if (!vxprocess::callingProcessPassesValidation()) {
      constexpr wchar_t kLogSource[] = L"VxClassFactory";
      VX_LOG(VX_LOG_ERROR, L"CVxClassFactory::CreateInstance")
          << L" CVxClassFactory::CreateInstance()- the calling process failed validation, object refused";
      return E_ACCESSDENIED;
    }
    return pUnkOuter == nullptr ? createPlain(riid, ppvObject) : createAggregated(pUnkOuter, riid, ppvObject);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override {
    if (fLock) {
      COvrascanModule::instance().Lock();
    } else {
      COvrascanModule::instance().Unlock();
    }
    return S_OK;
  }

 private:
  CVxClassFactory() = default;
  ~CVxClassFactory() = default;

  static HRESULT createPlain(REFIID riid, void** ppvObject) {
    platform::automation::com_ptr<platform::automation::ComObject<T>> object;
    if (const HRESULT hr = platform::automation::ComObject<T>::create(object); FAILED(hr)) return hr;
    return object->QueryInterface(riid, ppvObject);
  }
  static HRESULT createAggregated(IUnknown* outer, REFIID riid, void** ppvObject) {
    platform::automation::com_ptr<platform::automation::ComAggObject<T>> object;
    if (const HRESULT hr = platform::automation::ComAggObject<T>::create(outer, object); FAILED(hr)) return hr;
    return object->QueryInterface(riid, ppvObject);
  }

  std::atomic<ULONG> references_{1};
};
