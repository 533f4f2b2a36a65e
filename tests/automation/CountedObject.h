#pragma once
// A test object with an observable reference count, so tests can check that every
// reference taken by the runtime is given back. It answers IUnknown and, unless built
// without, IDispatch (whose methods it does not serve). Lives on the stack of the
// test: Release never deletes.
#include <atomic>

#include "platform/automation/Dispatch.h"

namespace vxtest {

class CountedObject : public IDispatch {
 public:
  explicit CountedObject(bool hasDispatch = true) : hasDispatch_(hasDispatch) {}
  virtual ~CountedObject() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown || (hasDispatch_ && riid == IID_IDispatch)) {
      *ppv = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override { return --count_; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  ULONG references() const { return count_; }

 private:
  const bool hasDispatch_;
  std::atomic<ULONG> count_{0};
};

}  // namespace vxtest
