#include "platform/automation/ScriptObject.h"

#include <atomic>
#include <new>

#include "platform/automation/MemberName.h"
#include "platform/automation/NoTypeInfo.h"
#include "platform/automation/OutOfMemory.h"

namespace platform::automation {
namespace {

class ScriptObject final : public NoTypeInfo<IDispatch> {
 public:
  explicit ScriptObject(std::vector<ScriptMethod> methods) : methods_(std::move(methods)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (ppvObject == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
      *ppvObject = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                          DISPID* rgDispId) override {
    if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (rgszNames == nullptr || rgDispId == nullptr || cNames == 0) return E_INVALIDARG;
    for (UINT i = 0; i < cNames; ++i) rgDispId[i] = DISPID_UNKNOWN;
    for (std::size_t i = 0; i < methods_.size(); ++i) {
      if (rgszNames[0] != nullptr && memberNamesEqual(methods_[i].name, rgszNames[0])) {
        rgDispId[0] = static_cast<DISPID>(i + 1);
        return cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
      }
    }
    return DISP_E_UNKNOWNNAME;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags, DISPPARAMS* pDispParams,
                                   VARIANT* pVarResult, EXCEPINFO*, UINT* puArgErr) override {
    if (!(riid == IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (dispIdMember < 1 || static_cast<std::size_t>(dispIdMember) > methods_.size() ||
        (wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0) {
      return DISP_E_MEMBERNOTFOUND;
    }
    if (pDispParams == nullptr || (pDispParams->cArgs != 0 && pDispParams->rgvarg == nullptr)) return E_INVALIDARG;
    if (pDispParams->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    const auto index = static_cast<std::size_t>(dispIdMember - 1);
    return outOfMemoryAsHResult([&] { return call(index, *pDispParams, pVarResult, puArgErr); });
  }

 private:
  // The method's own part of Invoke, once the request is known to be sound.
  HRESULT call(std::size_t index, const DISPPARAMS& params, VARIANT* pVarResult, UINT* puArgErr) {
    Arguments arguments(params.cArgs);
    for (UINT i = 0; i < params.cArgs; ++i) {
      const UINT slot = params.cArgs - 1 - i;
      HRESULT hr = VariantCopy(&arguments.values[i], &params.rgvarg[slot]);
      if (FAILED(hr)) {
        if (puArgErr != nullptr) *puArgErr = slot;
        return hr == E_OUTOFMEMORY ? hr : DISP_E_TYPEMISMATCH;
      }
    }
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = methods_[index].call(arguments.values, &value);
    if (pVarResult != nullptr) {
      *pVarResult = value;
    } else {
      VariantClear(&value);
    }
    return hr;
  }

  // Copies of the caller's arguments, first first, cleared after the call.
  struct Arguments {
    explicit Arguments(std::size_t count) : values(count) {
      for (VARIANT& v : values) VariantInit(&v);
    }
    Arguments(const Arguments&) = delete;
    Arguments& operator=(const Arguments&) = delete;
    ~Arguments() {
      for (VARIANT& v : values) VariantClear(&v);
    }
    std::vector<VARIANT> values;
  };

  ~ScriptObject() = default;

  const std::vector<ScriptMethod> methods_;
  std::atomic<ULONG> references_{1};
};

}  // namespace

com_ptr<IDispatch> makeScriptObject(std::vector<ScriptMethod> methods) {
  auto* object = new (std::nothrow) ScriptObject(std::move(methods));
  return com_ptr<IDispatch>::attach(object);
}

}  // namespace platform::automation
