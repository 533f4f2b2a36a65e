// The object's IVxVirusScan_Callback face: kernel events forwarded to the script's
// callback object. Each event fetches the script object and reads the flags under
// the object lock, then logs and calls the script with the lock released, so that a
// script may call the object back (Cancel, GetReport) from its callbacks.
#include <string>

#include "component/CoCVxVirusScan.h"
#include "component/VxDispatchDriver.h"
#include "component/VxInterfaceTable.h"
#include "foundation/VxLogStream.h"

namespace {
constexpr wchar_t kLogSource[] = L"CoCVxVirusScan";

const wchar_t* operationTypeText(std::uint32_t type) {
  switch (type) {
    case CoCVxVirusScan::kScan: return L"Scan";
    case CoCVxVirusScan::kClean: return L"Clean";
    case CoCVxVirusScan::kScanAndClean: return L"Scan and Clean";
    default: return L"?";
  }
}

const wchar_t* objectStatusText(std::uint32_t status) {
  switch (status) {
    case AV_OBJECT_STATUS_NOT_VERIFIED: return L"Not Verified";
    case AV_OBJECT_STATUS_OK: return L"OK";
    case AV_OBJECT_STATUS_INFECTED: return L"Infected";
    case AV_OBJECT_STATUS_CLEANED: return L"Cleaned";
    default: return L"?";
  }
}

const wchar_t* operationResultText(std::uint32_t result) {
  switch (result) {
    case AV_OPERATION_RESULT_COMPLETED: return L"Completed";
    case AV_OPERATION_RESULT_CANCELLED: return L"Cancelled";
    default: return L"?";
  }
}

VARIANT variantOf(VARTYPE vt, std::uint32_t value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = vt;
  v.ulVal = value;
  return v;
}

VARIANT variantOf(BSTR text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = text;
  return v;
}
}  // namespace

using platform::automation::com_ptr;

com_ptr<IDispatch> CoCVxVirusScan::scriptCallback() {
  return CVxInterfaceTable::instance().get(IID_IDispatch).try_query<IDispatch>(IID_IDispatch);
}

HRESULT CoCVxVirusScan::Progress(BSTR bstrObjectName, eAVObjectStatus eObjectStatus, ULONG dwPercentageComplete) {
  com_ptr<IDispatch> script;
  std::uint32_t operationType = 0;
  bool cancelled = false;
  {
    std::lock_guard guard(lock_);
    script = scriptCallback();
    if (!script) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Progress") << L"CoCVxVirusScan::Progress - cpDispatch is NULL";
      return S_OK;
    }
    operationType = operationType_;
    cancelled = cancelled_;
  }
  if (cancelled) {
    VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Progress")
        << L"CoCVxVirusScan::Progress - operation cancelled. No progress callback expected";
    return S_OK;
  }
  VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::Progress")
      << L"Progress: Operation Type = " << operationTypeText(operationType) << L", Object = "
      << (bstrObjectName == nullptr ? L"" : bstrObjectName) << L" (" << objectStatusText(eObjectStatus)
      << L"), Percentage complete: " << dwPercentageComplete;
  callScriptMethod(script.get(), L"Progress",
                   {variantOf(VT_UI4, operationType), variantOf(bstrObjectName), variantOf(VT_UI4, eObjectStatus),
                    variantOf(VT_UI4, dwPercentageComplete)});
  return S_OK;
}

HRESULT CoCVxVirusScan::OnError(ULONG dwError) {
  com_ptr<IDispatch> script;
  {
    std::lock_guard guard(lock_);
    // The operation is over whether or not a script listens: a script registered
    // later must hear the next operation's progress.
    cancelled_ = false;
    script = scriptCallback();
    if (!script) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::OnError") << L"CoCVxVirusScan::OnError - cpDispatch is NULL";
      return S_OK;
    }
  }
  VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::OnError") << L"CoCVxVirusScan::OnError: Error Value = " << dwError;
  callScriptMethod(script.get(), L"OnError", {variantOf(VT_UI4, dwError)});
  return S_OK;
}

HRESULT CoCVxVirusScan::OnComplete(eAVOperationResult eOperationResult) {
  com_ptr<IDispatch> script;
  std::uint32_t operationType = 0;
  {
    std::lock_guard guard(lock_);
    // The operation is over whether or not a script listens: a script registered
    // later must hear the next operation's progress.
    cancelled_ = false;
    script = scriptCallback();
    if (!script) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::OnComplete") << L"CoCVxVirusScan::OnComplete - cpDispatch is NULL";
      return S_OK;
    }
    operationType = operationType_;
  }
  VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::OnComplete")
      << L"OnComplete: Operation type = " << operationTypeText(operationType)
      << L", Operation result = " << operationResultText(eOperationResult);
  callScriptMethod(script.get(), L"OnComplete",
                   {variantOf(VT_I4, operationType), variantOf(VT_I4, eOperationResult)});
  return S_OK;
}
