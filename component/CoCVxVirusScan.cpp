#include "component/CoCVxVirusScan.h"

#include <new>
#include <source_location>

#include "component/VxAVScanner_Callback.h"
#include "component/VxInterfaceTable.h"
#include "component/VxVirusScanDispatchTable.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "kernel/VxAVScannerKernel.h"
#include "platform/automation/OutOfMemory.h"
#include "platform/automation/UniqueBstr.h"

namespace {
constexpr wchar_t kLogSource[] = L"CoCVxVirusScan";

// A BSTR's text up to its first NUL, as the script meant it.
std::wstring textUpToNul(BSTR text) { return text == nullptr ? std::wstring() : std::wstring(text); }

// A method's failure reported as its status: stores `code`, logs `text` followed by
// the code as a warning (with the caller's line), and gives the method's S_OK.
HRESULT statusFailure(unsigned int* pdwStatus, std::uint32_t code, const wchar_t* function, const wchar_t* text,
                      std::source_location where = std::source_location::current()) {
  *pdwStatus = code;
  VxLogStatement(VX_LOG_WARNING, kLogSource, function, where.line()) << text << code;
  return S_OK;
}

// An IVxVirusScan method as the script sees it: memory running out anywhere in
// `body` is the method's failure with status 8 (E_OUTOFMEMORY when the status
// itself cannot be stored), never an exception leaving the object.
template <class Body>
HRESULT statusBoundary(const wchar_t* function, unsigned int* pdwStatus, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    VX_LOG(VX_LOG_WARNING, function) << function << L" - out of memory, error: " << ERROR_NOT_ENOUGH_MEMORY;
    if (pdwStatus == nullptr) return E_OUTOFMEMORY;
    *pdwStatus = ERROR_NOT_ENOUGH_MEMORY;
    return S_OK;
  }
}

// Stores a copy of text through target; E_OUTOFMEMORY when it cannot be made.
HRESULT storeBstr(const std::wstring& text, BSTR* target) {
  platform::automation::UniqueBstr copy(text);
  if (!copy.copied()) return E_OUTOFMEMORY;
  *target = copy.release();
  return S_OK;
}
}  // namespace

using platform::automation::com_ptr;
using platform::automation::outOfMemoryAsHResult;

CoCVxVirusScan::KernelSource CoCVxVirusScan::productKernel() {
  return [] { return CVxAVScannerKernel::GetInstance(); };
}

CoCVxVirusScan::CoCVxVirusScan(KernelSource kernelSource, CVxAVCleanSessionHandler cleanSessions)
    : platform::automation::TableDispatch<IVxVirusScan>(virusScanDispatchTable()),
      kernelSource_(std::move(kernelSource)),
      cleanSessions_(std::move(cleanSessions)) {}

HRESULT CoCVxVirusScan::FinalConstruct() {
  VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::FinalConstruct") << L"CoCVxVirusScan::FinalConstruct";
  return S_OK;
}

void CoCVxVirusScan::FinalRelease() {
  VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::FinalRelease") << L"CoCVxVirusScan::FinalRelease";
  VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::FinalRelease")
      << L"CoCVxVirusScan::FinalRelease - Sending disconnected error";
  OnError(static_cast<ULONG>(RPC_E_DISCONNECTED));
}

void* CoCVxVirusScan::interfaceFor(REFIID riid) {
  if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IVxVirusScan) {
    return static_cast<IVxVirusScan*>(this);
  }
  if (riid == IID_IVxVirusScan_Callback) return static_cast<IVxVirusScan_Callback*>(this);
  return nullptr;
}

std::shared_ptr<IVxAVScannerKernel> CoCVxVirusScan::currentKernel() {
  std::lock_guard guard(lock_);
  return initialized_ ? kernel_ : nullptr;
}

void CoCVxVirusScan::setOperationType(std::uint32_t type) {
  std::lock_guard guard(lock_);
  operationType_ = type;
}

HRESULT CoCVxVirusScan::Register(VARIANT vtSinkObject, unsigned int* pdwStatus) {
  return statusBoundary(L"CoCVxVirusScan::Register", pdwStatus, [&]() -> HRESULT {
    if (pdwStatus == nullptr || vtSinkObject.vt != VT_DISPATCH || vtSinkObject.pdispVal == nullptr) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Register") << L"CoCVxVirusScan::Register - invalid arguments";
      return E_INVALIDARG;
    }
    *pdwStatus = 0;
    {
      std::lock_guard guard(lock_);
      // A script object the table refuses simply hears nothing.
      CVxInterfaceTable::instance().registerInterface(IID_IDispatch, vtSinkObject.pdispVal);
    }
    VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::Register") << L"CoCVxVirusScan::Register - Success";
    return S_OK;
  });
}

HRESULT CoCVxVirusScan::SetConfig(BSTR bstrConfig, unsigned int* pdwStatus) {
  return statusBoundary(L"CoCVxVirusScan::SetConfig", pdwStatus, [&]() -> HRESULT {
    if (bstrConfig == nullptr || pdwStatus == nullptr) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::SetConfig") << L"CoCVxVirusScan::SetConfig - invalid arguments";
      return E_INVALIDARG;
    }
    std::wstring configuration = textUpToNul(bstrConfig);
    if (configuration.empty()) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::SetConfig") << L"CoCVxVirusScan::SetConfig - empty configuration XML";
      return E_INVALIDARG;
    }
    *pdwStatus = 0;
    std::lock_guard guard(lock_);
    if (!initialized_) {
      configuration_ = std::move(configuration);
      return S_OK;
    }
    VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::SetConfig") << L"CoCVxVirusScan::SetConfig - Already initialized";
    *pdwStatus = ERROR_ALREADY_INITIALIZED;
    return S_OK;
  });
}

VxNAResult<std::wstring> CoCVxVirusScan::getScanConfiguration() {
  std::lock_guard guard(lock_);
  if (configuration_.empty()) return VxNAFail(ERROR_INVALID_DATA);
  return configuration_;
}

VxNAResult<> CoCVxVirusScan::initializeOnce() {
  // A second first call waits for the first one and then finds the kernel running.
  std::lock_guard serialised(initialization_);
  if (currentKernel() != nullptr) return VxNASuccess();
  return Initialize();
}

VxNAResult<> CoCVxVirusScan::Initialize() {
  {
    std::lock_guard guard(lock_);
    if (initialized_) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Initialize") << L"CoCVxVirusScan::Initialize - Already initialized";
      return VxNAFail(ERROR_ALREADY_INITIALIZED);
    }
  }
  com_ptr<IVxVirusScan_Callback> self(static_cast<IVxVirusScan_Callback*>(this));
  std::shared_ptr<IVxAVScanner_Callback> bridge;
  try {
    bridge = std::make_shared<CVxAVScanner_Callback>(self.get());
  } catch (const std::bad_alloc&) {
    VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Initialize") << L"CoCVxVirusScan::Initialize - spCallback is NULL";
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  }
  auto created = kernelSource_();
  if (!created) {
    VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Initialize")
        << L"CoCVxVirusScan::Initialize - CVxAVScannerKernel::GetInstance failed, error: " << created.error;
    return VxNAFail(created.error);
  }
  if (created.value == nullptr) {
    VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Initialize") << L"CoCVxVirusScan::Initialize - spKernel is NULL";
    return VxNAFail(ERROR_FUNCTION_FAILED);
  }
  auto configuration = getScanConfiguration();
  if (!configuration) {
    VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Initialize")
        << L"CoCVxVirusScan::Initialize - getScanConfiguration failed, error: " << configuration.error;
    return VxNAFail(configuration.error);
  }
  if (auto started = created.value->Init(bridge, configuration.value); !started) {
    VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Initialize")
        << L"CoCVxVirusScan::Initialize - spKernel->Init failed, error: " << started.error;
    return VxNAFail(started.error);
  }
  {
    std::lock_guard guard(lock_);
    kernel_ = std::move(created.value);
    initialized_ = true;
    cancelled_ = false;
  }
  VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::Initialize") << L"CoCVxVirusScan::Initialize - Success";
  return VxNASuccess();
}

HRESULT CoCVxVirusScan::Scan(unsigned int uiScanType, unsigned int* pdwStatus) {
  return statusBoundary(L"CoCVxVirusScan::Scan", pdwStatus, [&]() -> HRESULT {
    if (pdwStatus == nullptr) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Scan") << L"CoCVxVirusScan::Scan - Invalid arguments";
      return E_INVALIDARG;
    }
    if (uiScanType != 1 && uiScanType != 2) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Scan") << L"CoCVxVirusScan::Scan - Invalid scan type: " << uiScanType;
      return E_INVALIDARG;
    }
    *pdwStatus = 0;
    if (auto initialized = initializeOnce(); !initialized) {
      return statusFailure(pdwStatus, initialized.error, L"CoCVxVirusScan::Scan",
                           L"CoCVxVirusScan::Scan - Initialize failed, error: ");
    }
    const auto kernel = currentKernel();
    if (kernel == nullptr) {
      return statusFailure(pdwStatus, ERROR_INVALID_DATA, L"CoCVxVirusScan::Scan",
                           L"CoCVxVirusScan::Scan - invalid pointers, error: ");
    }
    const bool clean = uiScanType == 2;
    if (auto started = kernel->Scan(clean); !started) {
      return statusFailure(pdwStatus, started.error, L"CoCVxVirusScan::Scan",
                           L"CoCVxVirusScan::Scan - Scan failed, error: ");
    }
    setOperationType(clean ? kScanAndClean : kScan);
    VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::Scan")
        << (clean ? L"CoCVxVirusScan::Scan - Scan and Clean operation started successfully"
                  : L"CoCVxVirusScan::Scan - Scan Only operation started successfully");
    return S_OK;
  });
}

HRESULT CoCVxVirusScan::Clean(unsigned int* pdwStatus) {
  return statusBoundary(L"CoCVxVirusScan::Clean", pdwStatus, [&]() -> HRESULT {
    if (pdwStatus == nullptr) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Clean") << L"CoCVxVirusScan::Clean - invalid arguments";
      return E_INVALIDARG;
    }
    *pdwStatus = 0;
    const auto kernel = currentKernel();
    if (kernel == nullptr) {
      return statusFailure(pdwStatus, ERROR_INVALID_DATA, L"CoCVxVirusScan::Clean",
                           L"CoCVxVirusScan::Clean - invalid pointers, error: ");
    }
    if (auto started = kernel->Clean(); !started) {
      return statusFailure(pdwStatus, started.error, L"CoCVxVirusScan::Clean",
                           L"CoCVxVirusScan::Clean - Clean failed, error: ");
    }
    setOperationType(kClean);
    VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::Clean") << L"CoCVxVirusScan::Clean - Clean operation started successfully";
    return S_OK;
  });
}

HRESULT CoCVxVirusScan::CleanFile(BSTR bstrFileName, unsigned int* pdwStatus) {
  return statusBoundary(L"CoCVxVirusScan::CleanFile", pdwStatus, [&]() -> HRESULT {
    if (bstrFileName == nullptr || pdwStatus == nullptr) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::CleanFile") << L"CoCVxVirusScan::CleanFile - invalid arguments";
      return E_INVALIDARG;
    }
    const std::wstring fileName = textUpToNul(bstrFileName);
    if (fileName.empty()) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::CleanFile")
          << L"CoCVxVirusScan::CleanFile - invalid arguments, empty file name";
      return E_INVALIDARG;
    }
    *pdwStatus = 0;
    if (auto initialized = initializeOnce(); !initialized) {
      return statusFailure(pdwStatus, initialized.error, L"CoCVxVirusScan::CleanFile",
                           L"CoCVxVirusScan::CleanFile - Initialize failed, error: ");
    }
    const auto kernel = currentKernel();
    if (kernel == nullptr) {
      return statusFailure(pdwStatus, ERROR_INVALID_DATA, L"CoCVxVirusScan::CleanFile",
                           L"CoCVxVirusScan::CleanFile - invalid pointers, error: ");
    }
    if (auto started = kernel->CleanObject(fileName); !started) {
      return statusFailure(pdwStatus, started.error, L"CoCVxVirusScan::CleanFile",
                           L"CoCVxVirusScan::CleanFile - CleanObject failed, error: ");
    }
    setOperationType(kClean);
    VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::CleanFile")
        << L"CoCVxVirusScan::CleanFile - Clean operation started successfully";
    return S_OK;
  });
}

HRESULT CoCVxVirusScan::Cancel(unsigned int* pdwStatus) {
  return statusBoundary(L"CoCVxVirusScan::Cancel", pdwStatus, [&]() -> HRESULT {
    if (pdwStatus == nullptr) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Cancel") << L"CoCVxVirusScan::Cancel - invalid arguments";
      return E_INVALIDARG;
    }
    *pdwStatus = 0;
    std::shared_ptr<IVxAVScannerKernel> kernel;
    {
      std::lock_guard guard(lock_);
      if (initialized_) kernel = kernel_;
      // Set before the kernel is asked, so no progress of the cancelled work slips through.
      if (kernel != nullptr) cancelled_ = true;
    }
    if (kernel == nullptr) {
      return statusFailure(pdwStatus, ERROR_INVALID_DATA, L"CoCVxVirusScan::Cancel",
                           L"CoCVxVirusScan::Cancel - invalid pointers, error: ");
    }
    // The flag is set: whatever keeps the cancel from starting must clear it.
    VxNAResult<> cancelled = VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
    try {
      cancelled = kernel->Cancel();
    } catch (const std::bad_alloc&) {
    }
    if (!cancelled) {
      *pdwStatus = cancelled.error;
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Cancel")
          << L"CoCVxVirusScan::Cancel - Cancel failed, error: " << cancelled.error;
      std::lock_guard guard(lock_);
      cancelled_ = false;
      return S_OK;
    }
    VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::Cancel") << L"CoCVxVirusScan::Cancel - Cancel initiated";
    return S_OK;
  });
}

HRESULT CoCVxVirusScan::GetReport(unsigned int uiReportType, BSTR* pbstrResultXML) {
  return outOfMemoryAsHResult([&]() -> HRESULT {
    if (pbstrResultXML == nullptr) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::GetReport") << L"CoCVxVirusScan::GetReport - invalid arguments";
      return E_INVALIDARG;
    }
    if (uiReportType != 1 && uiReportType != 2) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::GetReport")
          << L"CoCVxVirusScan::GetReport - Invalid report type: " << uiReportType;
      return E_INVALIDARG;
    }
    const auto kernel = currentKernel();
    if (kernel == nullptr) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::GetReport")
          << L"CoCVxVirusScan::GetReport - invalid data, error: " << ERROR_INVALID_DATA;
      return E_FAIL;
    }
    const bool complete = uiReportType == 1;
    auto report = kernel->GetReport(complete);
    if (!report) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::GetReport")
          << L"CoCVxVirusScan::GetReport - GetReport failed, error: " << report.error;
      return E_FAIL;
    }
    if (report.value.empty()) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::GetReport")
          << L"CoCVxVirusScan::GetReport - report XML is empty, error: " << ERROR_FUNCTION_FAILED;
      return E_FAIL;
    }
    if (const HRESULT hr = storeBstr(report.value, pbstrResultXML); FAILED(hr)) return hr;
    VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::GetReport")
        << (complete ? L"CoCVxVirusScan::GetReport - Get complete report successful"
                     : L"CoCVxVirusScan::GetReport - Get detections report successful");
    return S_OK;
  });
}

HRESULT CoCVxVirusScan::GetVersion(unsigned int uiVersionType, BSTR* pbstrVersion) {
  return outOfMemoryAsHResult([&]() -> HRESULT {
    if (pbstrVersion == nullptr || uiVersionType > 2) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::GetVersion") << L"CoCVxVirusScan::GetVersion - invalid arguments";
      return E_INVALIDARG;
    }
    // A kernel of its own, never initialised: versions need no configuration.
    auto created = kernelSource_();
    if (!created) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::GetVersion")
          << L"CoCVxVirusScan::GetVersion - CVxAVScannerKernel::GetInstance failed, error: " << created.error;
      return E_FAIL;
    }
    if (created.value == nullptr) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::GetVersion") << L"CoCVxVirusScan::GetVersion - spKernel is NULL";
      return E_FAIL;
    }
    std::wstring version;
    if (auto got = created.value->GetVersion(uiVersionType, version); !got) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::GetVersion")
          << L"CoCVxVirusScan::GetVersion - GetVersion failed, error: " << got.error;
      return E_FAIL;
    }
    if (const HRESULT hr = storeBstr(version, pbstrVersion); FAILED(hr)) return hr;
    VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::GetVersion") << L"CoCVxVirusScan::GetVersion successful";
    return S_OK;
  });
}

HRESULT CoCVxVirusScan::Uninitialize(VARIANT_BOOL bClearCallbacks, unsigned int* pdwStatus) {
  return statusBoundary(L"CoCVxVirusScan::Uninitialize", pdwStatus, [&]() -> HRESULT {
    if (pdwStatus == nullptr) {
      VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::Uninitialize") << L"CoCVxVirusScan::Uninitialize - Invalid arguments";
      return E_INVALIDARG;
    }
    *pdwStatus = 0;
    if (auto done = internalUninitialize(bClearCallbacks == VARIANT_TRUE); !done) {
      return statusFailure(pdwStatus, done.error, L"CoCVxVirusScan::Uninitialize",
                           L"CoCVxVirusScan::Uninitialize - internalUninitialize failed, error: ");
    }
    VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::Uninitialize") << L"CoCVxVirusScan::Uninitialize - Uninitialize succeeded";
    return S_OK;
  });
}

VxNAResult<> CoCVxVirusScan::internalUninitialize(bool clearCallbacks) {
  // Stopping the kernel drops the bridge's reference, which may be the last one:
  // the object must outlive its own method.
  const com_ptr<IVxVirusScan> self(static_cast<IVxVirusScan*>(this));
  std::shared_ptr<IVxAVScannerKernel> kernel;
  {
    std::lock_guard guard(lock_);
    if (clearCallbacks) {
      VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::internalUninitialize")
          << L"CoCVxVirusScan::internalUninitialize - Clearing callbacks";
      CVxInterfaceTable::instance().revokeAll();
    }
    if (!initialized_ || kernel_ == nullptr) {
      VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::internalUninitialize")
          << L"CoCVxVirusScan::internalUninitialize - initialization not done";
      return VxNAFail(VX_E_NOT_INITIALIZED);
    }
    kernel = kernel_;
  }
  if (auto stopped = kernel->DeInit(true); !stopped) {
    VX_LOG(VX_LOG_WARNING, L"CoCVxVirusScan::internalUninitialize")
        << L"CoCVxVirusScan::internalUninitialize - spScanKernel->DeInit failed, error: " << stopped.error;
    return VxNAFail(stopped.error);
  }
  {
    std::lock_guard guard(lock_);
    kernel_.reset();
    initialized_ = false;
    configuration_.clear();
    // A kernel stopped during a cancel never reports the cancel's end; the flag
    // must not outlive it and silence the next kernel's progress.
    cancelled_ = false;
  }
  VX_LOG(VX_LOG_NORMAL, L"CoCVxVirusScan::internalUninitialize") << L"CoCVxVirusScan::internalUninitialize - Success";
  return VxNASuccess();
}
