#include "suspicious/VxSuspScanDispImpl.h"

#include <new>
#include <string>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "platform/Utf8.h"
#include "platform/automation/UniqueBstr.h"
#include "platform/automation/VariantOf.h"
#include "suspicious/VxSifterScanner.h"
#include "suspicious/VxSuspiciousScanDispatchTable.h"

using platform::automation::com_ptr;
using platform::automation::UniqueBstr;

namespace {

constexpr wchar_t kLogSource[] = L"VxSuspScanDispImpl";
constexpr std::uint32_t kSuccess = 0;
constexpr wchar_t kUnknownVersion[] = L"0.0.0.0";

void putStatus(VARIANT* result, std::uint32_t status) {
  *result = platform::automation::variantOfNumber(VT_I4, status);
}

// E_OUTOFMEMORY when the text cannot be allocated; the result is then empty.
HRESULT putText(VARIANT* result, std::wstring_view text) {
  VariantInit(result);
  UniqueBstr bstr(text);
  if (bstr.get() == nullptr) return E_OUTOFMEMORY;
  result->vt = VT_BSTR;
  result->bstrVal = bstr.release();
  return S_OK;
}

}  // namespace

CVxSuspScanDispImpl::RunnerSource CVxSuspScanDispImpl::productRunner() {
  return [] { return CVxSifterScanner::create(); };
}

CVxSuspScanDispImpl::CVxSuspScanDispImpl(RunnerSource runnerSource)
    : platform::automation::TableDispatch<IVxSuspiciousScan>(suspiciousScanDispatchTable()),
      runnerSource_(std::move(runnerSource)) {}

CVxSuspScanDispImpl::~CVxSuspScanDispImpl() = default;

HRESULT CVxSuspScanDispImpl::FinalConstruct() {
  // Without a runner, or without its worker, the object still works: requests are
  // answered (1359, or accepted and never served).
  runner_ = runnerSource_ ? runnerSource_() : nullptr;
  if (runner_) runner_->startWorker();
  return S_OK;
}

void CVxSuspScanDispImpl::FinalRelease() {
  if (runner_) runner_->TerminateMyThread();
  runner_.reset();
  std::lock_guard guard(lock_);
  scriptCallback_.reset();
}

void* CVxSuspScanDispImpl::interfaceFor(REFIID riid) {
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IVxSuspiciousScan) {
    return static_cast<IVxSuspiciousScan*>(this);
  }
  if (riid == IID_IVxSuspiciousCallback) return static_cast<IVxSuspiciousCallback*>(this);
  return nullptr;
}

std::shared_ptr<CVxSuspScanDispCallBack> CVxSuspScanDispImpl::scriptCallback() {
  std::lock_guard guard(lock_);
  return scriptCallback_;
}

HRESULT CVxSuspScanDispImpl::RegisterCallback(VARIANT vtCallback, VARIANT* vtRetVal) {
  if (vtRetVal == nullptr) return E_POINTER;
  if (vtCallback.vt != VT_DISPATCH || vtCallback.pdispVal == nullptr) {
    putStatus(vtRetVal, ERROR_INVALID_PARAMETER);
    return S_OK;
  }
  std::shared_ptr<CVxSuspScanDispCallBack> callback;
  try {
    callback = std::make_shared<CVxSuspScanDispCallBack>(vtCallback.pdispVal);
  } catch (const std::bad_alloc&) {
    putStatus(vtRetVal, ERROR_NOT_ENOUGH_MEMORY);
    return S_OK;
  }
  // Registered on this thread, the script's, before any other thread sees it.
  if (FAILED(callback->Marshall())) {
    VX_LOG(VX_LOG_WARNING, L"CVxSuspScanDispImpl::RegisterCallback")
        << L" CVxSuspScanDispImpl::RegisterCallback()- Marshalling failed";
  }
  std::shared_ptr<CVxSuspScanDispCallBack> replaced;
  {
    std::lock_guard guard(lock_);
    replaced = std::exchange(scriptCallback_, std::move(callback));
  }
  // The previous script object goes outside the lock: its release may call us.
  replaced.reset();
  putStatus(vtRetVal, kSuccess);
  return S_OK;
}

HRESULT CVxSuspScanDispImpl::UnRegisterCallback(VARIANT* vtRetVal) {
  if (vtRetVal == nullptr) return E_POINTER;
  std::shared_ptr<CVxSuspScanDispCallBack> released;
  {
    std::lock_guard guard(lock_);
    released = std::move(scriptCallback_);
  }
  released.reset();
  putStatus(vtRetVal, kSuccess);
  return S_OK;
}

HRESULT CVxSuspScanDispImpl::Scan(VARIANT* vtRetVal) {
  if (vtRetVal == nullptr) return E_POINTER;
  putStatus(vtRetVal, runner_ ? runner_->startScan(this) : ERROR_INTERNAL_ERROR);
  return S_OK;
}

HRESULT CVxSuspScanDispImpl::UploadReport(VARIANT* vtRetVal) {
  if (vtRetVal == nullptr) return E_POINTER;
  putStatus(vtRetVal, runner_ ? runner_->startUpload(this) : ERROR_INTERNAL_ERROR);
  return S_OK;
}

HRESULT CVxSuspScanDispImpl::Abort(VARIANT* vtRetVal) {
  if (vtRetVal == nullptr) return E_POINTER;
  putStatus(vtRetVal, runner_ ? runner_->clearCallback() : ERROR_INTERNAL_ERROR);
  return S_OK;
}

HRESULT CVxSuspScanDispImpl::GetReport(VARIANT* vtRetVal) {
  constexpr const wchar_t* kFunction = L"CVxSuspScanDispImpl::GetReport";
  if (vtRetVal == nullptr) return E_POINTER;
  VX_LOG(VX_LOG_NORMAL, kFunction) << L" TEST! GetReport";
  if (!runner_) {
    VX_LOG(VX_LOG_ERROR, kFunction) << L" TEST! GetReport - Internal Error";
    putStatus(vtRetVal, ERROR_INTERNAL_ERROR);
    return S_OK;
  }
  VX_LOG(VX_LOG_NORMAL, kFunction) << L" TEST! GetReport - Pre read";
  CVxFileUtil::Buffer report;
  if (runner_->ReadFileScanReport(report) != 0) {
    VX_LOG(VX_LOG_NORMAL, kFunction) << L" TEST! GetReport - read return";
    putText(vtRetVal, L"");
    return S_OK;
  }
  // The report is UTF-8 text up to its first zero byte.
  const char* bytes = reinterpret_cast<const char*>(report.get());
  std::wstring text;
  try {
    text = platform::decodeUtf8(bytes, std::char_traits<char>::length(bytes));
  } catch (const std::bad_alloc&) {
    putStatus(vtRetVal, ERROR_NOT_ENOUGH_MEMORY);
    return S_OK;
  }
  report.reset();
  if (FAILED(putText(vtRetVal, text))) {
    putStatus(vtRetVal, ERROR_NOT_ENOUGH_MEMORY);
    return S_OK;
  }
  VX_LOG(VX_LOG_NORMAL, kFunction) << L" TEST! GetReport - Return";
  return S_OK;
}

HRESULT CVxSuspScanDispImpl::Configure(VARIANT vtToolPath, VARIANT* vtRetVal) {
  if (vtRetVal == nullptr) return E_POINTER;
  if (vtToolPath.vt != VT_BSTR || vtToolPath.bstrVal == nullptr || !runner_) {
    putStatus(vtRetVal, ERROR_INVALID_PARAMETER);
    return S_OK;
  }
  const std::wstring path(vtToolPath.bstrVal, SysStringLen(vtToolPath.bstrVal));
  putStatus(vtRetVal, runner_->setToolPath(path) == 0 ? kSuccess : ERROR_INTERNAL_ERROR);
  return S_OK;
}

HRESULT CVxSuspScanDispImpl::GetVersion(VARIANT* vtRetVal) {
  if (vtRetVal == nullptr) return E_POINTER;
  if (!runner_) {
    putStatus(vtRetVal, ERROR_INTERNAL_ERROR);
    return S_OK;
  }
  std::wstring version;
  const bool known = runner_->GetVersion(version) == 0;
  if (FAILED(putText(vtRetVal, known ? version : kUnknownVersion))) {
    putStatus(vtRetVal, ERROR_NOT_ENOUGH_MEMORY);
  }
  return S_OK;
}

HRESULT CVxSuspScanDispImpl::CleanSession(VARIANT* vtRetVal) {
  if (vtRetVal == nullptr) return E_POINTER;
  putStatus(vtRetVal, runner_ ? runner_->CleanSession() : ERROR_INTERNAL_ERROR);
  return S_OK;
}

void CVxSuspScanDispImpl::deliverOutcome(const wchar_t* function, const wchar_t* text, ULONG outcome,
                                         HRESULT (CVxSuspScanDispCallBack::*deliver)(VARIANT*)) {
  const std::shared_ptr<CVxSuspScanDispCallBack> callback = scriptCallback();
  if (!callback) return;
  VX_LOG(VX_LOG_NORMAL, function) << text << outcome;
  VARIANT argument = platform::automation::variantOfNumber(VT_UI4, outcome);
  ((*callback).*deliver)(&argument);
}

HRESULT CVxSuspScanDispImpl::ScanCompleted(ULONG dwError) {
  deliverOutcome(L"CVxSuspScanDispImpl::ScanCompleted",
                 L" CVxSuspScanDispImpl::ScanCompleted()- triggering OnScanCompleted callback, errorcode:", dwError,
                 &CVxSuspScanDispCallBack::OnScanCompleted);
  return S_OK;
}

HRESULT CVxSuspScanDispImpl::UploadCompleted(ULONG dwError) {
  deliverOutcome(L"CVxSuspScanDispImpl::UploadCompleted",
                 L" CVxSuspScanDispImpl::UploadCompleted()- triggering OnUploadCompleted callback", dwError,
                 &CVxSuspScanDispCallBack::OnUploadCompleted);
  return S_OK;
}
