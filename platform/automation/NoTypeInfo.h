#pragma once
// NoTypeInfo: the type-information half of IDispatch for objects that serve no
// type library: GetTypeInfoCount answers 0 and GetTypeInfo has nothing to give.
// Stateless; safe from any thread.
#include "platform/automation/Dispatch.h"

namespace platform::automation {

template <class Interface>
class NoTypeInfo : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
    if (pctinfo == nullptr) return E_INVALIDARG;
    *pctinfo = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
    if (ppTInfo != nullptr) *ppTInfo = nullptr;
    return DISP_E_BADINDEX;
  }
};

}  // namespace platform::automation
