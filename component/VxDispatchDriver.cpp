#include "component/VxDispatchDriver.h"

#include <algorithm>
#include <vector>

#include "platform/automation/UniqueVariant.h"

void callScriptMethod(IDispatch* script, const wchar_t* name, std::initializer_list<VARIANT> arguments) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  if (FAILED(script->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &id))) return;

  std::vector<VARIANT> reversed(arguments.begin(), arguments.end());
  std::reverse(reversed.begin(), reversed.end());
  DISPPARAMS parameters{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  platform::automation::UniqueVariant result;
  EXCEPINFO exception{};
  UINT argumentError = 0;
  script->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &parameters, result.get(), &exception, &argumentError);
  // A script that raised an error may have described it; the texts are ours to free.
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
}
