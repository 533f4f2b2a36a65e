// The object's IVxVirusScan_Callback face: kernel events forwarded to the script's
// callback object. Each event fetches the script object and reads the flags in one
// hold of the object lock, then logs and calls the script with the lock released, so that a
// script may call the object back (Cancel, GetReport) from its callbacks. A script
// that lacks a method, or whose method fails, simply misses that event: the result
// of the call is dropped. Memory running out while an event is handled loses the
// event and answers E_OUTOFMEMORY.
#include <string>

#include "component/CoCVxVirusScan.h"
#include "component/VxInterfaceTable.h"
#include "foundation/VxLogStream.h"
#include "platform/automation/InvokeByName.h"
#include "platform/automation/OutOfMemory.h"
#include "platform/automation/VariantOf.h"

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
}  // namespace

using platform::automation::com_ptr;
using platform::automation::invokeByName;
using platform::automation::outOfMemoryAsHResult;
using platform::automation::variantOfBstr;
using platform::automation::variantOfNumber;

CoCVxVirusScan::EventContext CoCVxVirusScan::beginEvent(const wchar_t* function, bool endsOperation) {
  std::lock_guard guard(lock_);
  // An operation that ends is over whether or not a script listens: a script
  // registered later must hear the next operation's progress.
  if (endsOperation) cancelled_ = false;
  EventContext context{
      CVxInterfaceTable::instance().get(IID_IDispatch).try_query<IDispatch>(IID_IDispatch), operationType_,
      cancelled_};
  if (!context.script) VX_LOG(VX_LOG_WARNING, function) << function << L" - cpDispatch is NULL";
  return context;
}

HRESULT CoCVxVirusScan::Progress(BSTR bstrObjectName, eAVObjectStatus eObjectStatus, ULONG dwPercentageComplete) {
  return outOfMemoryAsHResult([&]() -> HRESULT {
    const EventContext event = beginEvent(L"CoCVxVirusScan::Progress", false);
    if (!event.script) return S_OK;
    if (event.cancelled) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Progress")
          << L"CoCVxVirusScan::Progress - operation cancelled. No progress callback expected";
      return S_OK;
    }
    VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::Progress")
        << L"Progress: Operation Type = " << operationTypeText(event.operationType) << L", Object = "
        << (bstrObjectName == nullptr ? L"" : bstrObjectName) << L" (" << objectStatusText(eObjectStatus)
        << L"), Percentage complete: " << dwPercentageComplete;
    const VARIANT arguments[] = {variantOfNumber(VT_UI4, event.operationType), variantOfBstr(bstrObjectName),
                                 variantOfNumber(VT_UI4, eObjectStatus), variantOfNumber(VT_UI4, dwPercentageComplete)};
    invokeByName(*event.script, L"Progress", arguments);
    return S_OK;
  });
}

HRESULT CoCVxVirusScan::OnError(ULONG dwError) {
  return outOfMemoryAsHResult([&]() -> HRESULT {
    const EventContext event = beginEvent(L"CoCVxVirusScan::OnError", true);
    if (!event.script) return S_OK;
    VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::OnError") << L"CoCVxVirusScan::OnError: Error Value = " << dwError;
    const VARIANT arguments[] = {variantOfNumber(VT_UI4, dwError)};
    invokeByName(*event.script, L"OnError", arguments);
    return S_OK;
  });
}

HRESULT CoCVxVirusScan::OnComplete(eAVOperationResult eOperationResult) {
  return outOfMemoryAsHResult([&]() -> HRESULT {
    const EventContext event = beginEvent(L"CoCVxVirusScan::OnComplete", true);
    if (!event.script) return S_OK;
    VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::OnComplete")
        << L"OnComplete: Operation type = " << operationTypeText(event.operationType)
        << L", Operation result = " << operationResultText(eOperationResult);
    const VARIANT arguments[] = {variantOfNumber(VT_I4, event.operationType),
                                 variantOfNumber(VT_I4, eOperationResult)};
    invokeByName(*event.script, L"OnComplete", arguments);
    return S_OK;
  });
}
