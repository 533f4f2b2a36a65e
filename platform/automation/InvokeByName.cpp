#include "platform/automation/InvokeByName.h"

#include <vector>

#include "platform/automation/OutOfMemory.h"
#include "platform/automation/UniqueVariant.h"

namespace platform::automation {

HRESULT invokeByName(IDispatch& object, const wchar_t* name, std::span<const VARIANT> arguments, VARIANT* result) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  if (const HRESULT hr = object.GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &id); FAILED(hr)) return hr;

  return outOfMemoryAsHResult([&] {
    std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
    DISPPARAMS parameters{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    UniqueVariant discarded;
    EXCEPINFO exception{};
    UINT argumentError = 0;
    const HRESULT hr = object.Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &parameters,
                                     result != nullptr ? result : discarded.get(), &exception, &argumentError);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    return hr;
  });
}

}  // namespace platform::automation
