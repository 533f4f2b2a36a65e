#include "suspicious/VxSuspScanDispCallBack.h"

#include "foundation/VxLogHex.h"
#include "foundation/VxLogStream.h"
#include "platform/automation/UniqueVariant.h"

using platform::automation::UniqueVariant;

namespace {
constexpr wchar_t kLogSource[] = L"VxSuspScanDispImpl";
}  // namespace

HRESULT CVxSuspScanDispCallBack::OnScanCompleted(VARIANT* argument) {
  return callWithOneArgument(L"OnScanComplete", L"CVxSuspScanDispCallBack::OnScanCompleted",
                             L" Failed to call script function (OnScanComplete) hr=", argument);
}

HRESULT CVxSuspScanDispCallBack::OnUploadCompleted(VARIANT* argument) {
  return callWithOneArgument(L"OnUploadComplete", L"CVxSuspScanDispCallBack::OnUploadCompleted",
                             L" Failed to call script function (OnUploadComplete) hr=", argument);
}

HRESULT CVxSuspScanDispCallBack::callWithOneArgument(const wchar_t* function,
                                                     const wchar_t* logFunction,
                                                     const wchar_t* failureText,
                                                     VARIANT* argument) {
  UniqueVariant copy;
  HRESULT hr = argument != nullptr ? VariantCopy(copy.get(), argument) : E_POINTER;
  if (SUCCEEDED(hr)) {
    DISPPARAMS parameters{copy.get(), nullptr, 1, 0};
    UniqueVariant result;
    hr = invokeScriptFunction(function, &parameters, result.get());
  }
  if (FAILED(hr)) VX_LOG(VX_LOG_ERROR, logFunction) << failureText << VxHex8{hr};
  return hr;
}
