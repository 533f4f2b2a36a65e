#include "kernel/VxAVScanThread.h"

#include <new>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"

namespace {
constexpr wchar_t kLogSource[] = L"VxAVScanThread";
constexpr wchar_t kThreadName[] = L"CVxAVScanThread";

void logOutOfMemory(const wchar_t* function) {
  VX_LOG(VX_LOG_ERROR, function) << function << L" - out of memory, error = "
                                 << ERROR_NOT_ENOUGH_MEMORY;
}

std::uint32_t statusOf(const CVxScanObjectResult& record) {
  if (!record.IsScanned) return AV_OBJECT_STATUS_NOT_VERIFIED;
  if (!record.IsInfected) return AV_OBJECT_STATUS_OK;
  return record.IsRepaired ? AV_OBJECT_STATUS_CLEANED : AV_OBJECT_STATUS_INFECTED;
}
}  // namespace

CVxAVScanThread::CVxAVScanThread() : CVxNAThread(/*initCom=*/true) {}

CVxAVScanThread::~CVxAVScanThread() = default;

VxNAResult<> CVxAVScanThread::Init(std::shared_ptr<VxNASharedEventQueue> queue,
                                   std::shared_ptr<IVxAVScanner_Callback> callback) {
  if (queue == nullptr || callback == nullptr) return VxNAFail(ERROR_INVALID_PARAMETER);
  {
    std::lock_guard guard(lock_);
    spQueue_ = std::move(queue);
    kernelCallback_ = std::move(callback);
    terminating_ = false;
  }
  // A worker without its thread would never serve the queue: report the failure.
  std::uint32_t error = 0;
  try {
    error = Start(kThreadName, weak_from_this().lock());
  } catch (const std::bad_alloc&) {
    logOutOfMemory(L"CVxAVScanThread::Init");
    error = ERROR_NOT_ENOUGH_MEMORY;
  }
  if (error != 0) {
    std::lock_guard guard(lock_);
    spQueue_.reset();
    kernelCallback_.reset();
    return VxNAFail(error);
  }
  return VxNASuccess();
}

VxNAResult<> CVxAVScanThread::setObjectScanner(std::shared_ptr<IVxAVObjectScanner> scanner,
                                               std::shared_ptr<IVxAVScanner_Callback> reporter) {
  if (scanner == nullptr) return VxNAFail(ERROR_INVALID_PARAMETER);
  std::lock_guard guard(lock_);
  m_spAVObjectScanner_ = std::move(scanner);
  reporter_ = std::move(reporter);
  return VxNASuccess();
}

VxNAResult<std::shared_ptr<IVxAVObjectScanner>> CVxAVScanThread::getObjectScanner() {
  std::lock_guard guard(lock_);
  if (m_spAVObjectScanner_ == nullptr) return VxNAFail(ERROR_INVALID_DATA);
  return m_spAVObjectScanner_;
}

std::shared_ptr<IVxAVScanner_Callback> CVxAVScanThread::passReporter() const {
  return reporter_ != nullptr ? reporter_ : kernelCallback_;
}

VxNAResult<> CVxAVScanThread::uninit() {
  std::shared_ptr<IVxAVObjectScanner> scanner;
  {
    std::lock_guard guard(lock_);
    // The scan aborted below ends because the worker stops, not because it failed.
    terminating_ = true;
    if (scanning_) scanner = currentScanner_;
  }
  if (scanner != nullptr) scanner->cancel();
  try {
    Stop();
  } catch (const std::bad_alloc&) {
    logOutOfMemory(L"CVxAVScanThread::uninit");
  }
  std::lock_guard guard(lock_);
  spQueue_.reset();
  kernelCallback_.reset();
  m_spAVObjectScanner_.reset();
  reporter_.reset();
  return VxNASuccess();
}

VxNAResult<> CVxAVScanThread::cancelScan(std::shared_ptr<IVxAVScanner_Callback> reporter) {
  std::unique_lock guard(lock_);
  if (reporter == nullptr) reporter = passReporter();
  if (scanning_ && currentScanner_ != nullptr && currentReporter_ == reporter) {
    cancelled_ = true;
    auto scanner = currentScanner_;
    guard.unlock();
    scanner->cancel();
    return VxNASuccess();
  }
  // Idle, or scanning for an activity that already ended: nothing of this
  // activity is in progress here. A worker that was torn down acknowledges nothing.
  const bool live = kernelCallback_ != nullptr;
  guard.unlock();
  if (live && reporter != nullptr) reporter->onComplete(AV_OPERATION_RESULT_CANCELLED);
  return VxNASuccess();
}

void CVxAVScanThread::TerminateMyThread() {
  std::shared_ptr<VxNASharedEventQueue> queue;
  {
    std::lock_guard guard(lock_);
    queue = spQueue_;
    terminating_ = true;
  }
  if (queue == nullptr) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScanThread::TerminateMyThread")
        << L"CVxAVScanThread::TerminateMyThread  - spQueue is NULL";
    return;
  }
  std::shared_ptr<VxNAEventInfoBaseObj> abort;
  try {
    abort = std::make_shared<VxNAEventInfoBaseObj>(VX_EVENT_FLAG_ABORT, 0);
    queue->push(abort, /*sticky=*/true);
  } catch (const std::bad_alloc&) {
    abort.reset();
  }
  if (abort == nullptr) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScanThread::TerminateMyThread")
        << L"CVxAVScanThread::TerminateMyThread  - spAbortEvent is NULL";
    return;
  }
  std::shared_ptr<IVxAVObjectScanner> scanner;
  {
    std::lock_guard guard(lock_);
    if (currentObject_ != nullptr) scanner = currentScanner_;
  }
  if (scanner != nullptr) scanner->cancel();
}

void CVxAVScanThread::ThreadProc() {
  VX_LOG(VX_LOG_NORMAL, L"CVxAVScanThread::ThreadProc") << L"CVxAVScanThread::ThreadProc started";
  std::shared_ptr<VxNASharedEventQueue> queue;
  {
    std::lock_guard guard(lock_);
    queue = spQueue_;
  }
  if (queue == nullptr) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScanThread::ThreadProc")
        << L"CVxAVScanThread::ThreadProc  - spQueue is NULL";
  }
  while (queue != nullptr) {
    std::uint64_t generation = 0;
    auto item = queue->waitPop(&generation);
    if (item == nullptr) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScanThread::ThreadProc")
          << L"CVxAVScanThread::ThreadProc - spEvent is NULL";
      continue;
    }
    if (item->isAbort()) {
      VX_LOG(VX_LOG_NORMAL, L"CVxAVScanThread::ThreadProc")
          << L"CVxAVScanThread::ThreadProc - Abort triggered by Event";
      break;
    }
    auto object = std::dynamic_pointer_cast<CVxAVScanObject>(item);
    {
      std::lock_guard guard(lock_);
      if (m_spAVObjectScanner_ == nullptr) {
        VX_LOG(VX_LOG_WARNING, L"CVxAVScanThread::ThreadProc")
            << L"CVxAVScanThread::ThreadProc  - m_spAVObjectScanner is NULL";
        break;
      }
    }
    if (object != nullptr) serve(object, generation, queue);
  }
  VX_LOG(VX_LOG_NORMAL, L"CVxAVScanThread::ThreadProc")
      << L"CVxAVScanThread::ThreadProc terminated normally";
}

void CVxAVScanThread::serve(const std::shared_ptr<CVxAVScanObject>& object,
                            std::uint64_t generation,
                            const std::shared_ptr<VxNASharedEventQueue>& queue) {
  std::shared_ptr<IVxAVObjectScanner> scanner;
  std::shared_ptr<IVxAVScanner_Callback> reporter;
  {
    std::lock_guard guard(lock_);
    // Taken before a cancel emptied the queue: that pass is over.
    if (queue->generation() != generation) return;
    scanner = m_spAVObjectScanner_;
    reporter = passReporter();
    currentObject_ = object;
    currentScanner_ = scanner;
    currentReporter_ = reporter;
    scanning_ = true;
  }
  try {
    scanWith(object, scanner, reporter);
  } catch (const std::bad_alloc&) {
    logOutOfMemory(L"CVxAVScanThread::ThreadProc");
    {
      std::lock_guard guard(lock_);
      currentObject_.reset();
      currentScanner_.reset();
      currentReporter_.reset();
      scanning_ = false;
      cancelled_ = false;
    }
    reportError(ERROR_NOT_ENOUGH_MEMORY, reporter);
  }
}

void CVxAVScanThread::scanWith(const std::shared_ptr<CVxAVScanObject>& object,
                               const std::shared_ptr<IVxAVObjectScanner>& scanner,
                               const std::shared_ptr<IVxAVScanner_Callback>& reporter) {
  const VxNAResult<> result = scanner->scanObject(object);
  bool cancelled = false;
  bool terminating = false;
  {
    std::lock_guard guard(lock_);
    currentObject_.reset();
    currentScanner_.reset();
    currentReporter_.reset();
    scanning_ = false;
    cancelled = cancelled_;
    cancelled_ = false;
    terminating = terminating_;
  }
  if (result.ok || (result.error == VX_E_SCAN_CANCELLED && cancelled)) {
    progress(object, cancelled, scanner, reporter);
  } else if (!(terminating && result.error == VX_E_SCAN_CANCELLED)) {
    // A scan aborted because the worker is being stopped is no failure.
    reportError(result.error, reporter);
  }
}

void CVxAVScanThread::progress(const std::shared_ptr<CVxAVScanObject>& object, bool cancelled,
                               const std::shared_ptr<IVxAVObjectScanner>& scanner,
                               const std::shared_ptr<IVxAVScanner_Callback>& reporter) {
  const std::wstring name = object->getPath();
  const std::string key = object->getResultKey();
  {
    // A worker that was torn down reports nothing more.
    std::lock_guard guard(lock_);
    if (kernelCallback_ == nullptr || m_spAVObjectScanner_ == nullptr) return;
  }
  if (reporter == nullptr) return;
  if (cancelled) {
    reporter->onComplete(AV_OPERATION_RESULT_CANCELLED);
    return;
  }
  const auto record = scanner->getResult(key);
  if (!record.ok || record.value == nullptr) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScanThread::progress")
        << L"CVxAVScanThread::progress - failed to get result for object " << name;
    reporter->progress(name, AV_OBJECT_STATUS_NOT_VERIFIED, 0);
    return;
  }
  reporter->progress(name, statusOf(*record.value), 0);
}

void CVxAVScanThread::reportError(std::uint32_t error,
                                  const std::shared_ptr<IVxAVScanner_Callback>& reporter) {
  {
    std::lock_guard guard(lock_);
    if (kernelCallback_ == nullptr) return;
  }
  if (reporter != nullptr) reporter->onError(error);
}
