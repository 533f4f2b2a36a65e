#include "kernel/VxAVScanThread.h"

#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"

namespace {
constexpr wchar_t kLogSource[] = L"VxAVScanThread";
constexpr wchar_t kThreadName[] = L"CVxAVScanThread";

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
  const std::uint32_t error = Start(kThreadName, weak_from_this().lock());
  if (error != 0) {
    std::lock_guard guard(lock_);
    spQueue_.reset();
    kernelCallback_.reset();
    return VxNAFail(error);
  }
  return VxNASuccess();
}

VxNAResult<> CVxAVScanThread::setObjectScanner(std::shared_ptr<IVxAVObjectScanner> scanner) {
  if (scanner == nullptr) return VxNAFail(ERROR_INVALID_PARAMETER);
  std::lock_guard guard(lock_);
  m_spAVObjectScanner_ = std::move(scanner);
  return VxNASuccess();
}

VxNAResult<std::shared_ptr<IVxAVObjectScanner>> CVxAVScanThread::getObjectScanner() {
  std::lock_guard guard(lock_);
  if (m_spAVObjectScanner_ == nullptr) return VxNAFail(ERROR_INVALID_DATA);
  return m_spAVObjectScanner_;
}

VxNAResult<> CVxAVScanThread::uninit() {
  std::shared_ptr<IVxAVObjectScanner> scanner;
  {
    std::lock_guard guard(lock_);
    // The scan aborted below ends because the worker stops, not because it failed.
    terminating_ = true;
    if (scanning_) scanner = m_spAVObjectScanner_;
  }
  if (scanner != nullptr) scanner->cancel();
  Stop();
  std::lock_guard guard(lock_);
  spQueue_.reset();
  kernelCallback_.reset();
  m_spAVObjectScanner_.reset();
  return VxNASuccess();
}

VxNAResult<> CVxAVScanThread::cancelScan() {
  std::unique_lock guard(lock_);
  if (scanning_ && m_spAVObjectScanner_ != nullptr) {
    cancelled_ = true;
    auto scanner = m_spAVObjectScanner_;
    guard.unlock();
    scanner->cancel();
    return VxNASuccess();
  }
  auto callback = kernelCallback_;
  guard.unlock();
  if (callback != nullptr) callback->onComplete(AV_OPERATION_RESULT_CANCELLED);
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
  queue->push(std::make_shared<VxNAEventInfoBaseObj>(VX_EVENT_FLAG_ABORT, 0), /*sticky=*/true);
  std::shared_ptr<IVxAVObjectScanner> scanner;
  {
    std::lock_guard guard(lock_);
    if (currentObject_ != nullptr) scanner = m_spAVObjectScanner_;
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
  {
    std::lock_guard guard(lock_);
    // Taken before a cancel emptied the queue: that pass is over.
    if (queue->generation() != generation) return;
    scanner = m_spAVObjectScanner_;
    currentObject_ = object;
    scanning_ = true;
  }
  const VxNAResult<> result = scanner->scanObject(object);
  bool cancelled = false;
  bool terminating = false;
  {
    std::lock_guard guard(lock_);
    currentObject_.reset();
    scanning_ = false;
    cancelled = cancelled_;
    cancelled_ = false;
    terminating = terminating_;
  }
  if (result.ok || (result.error == VX_E_SCAN_CANCELLED && cancelled)) {
    progress(object, cancelled);
  } else if (!(terminating && result.error == VX_E_SCAN_CANCELLED)) {
    // A scan aborted because the worker is being stopped is no failure.
    reportError(result.error);
  }
}

void CVxAVScanThread::progress(const std::shared_ptr<CVxAVScanObject>& object, bool cancelled) {
  const std::wstring name = object->getPath();
  const std::string key = object->getResultKey();
  std::shared_ptr<IVxAVScanner_Callback> callback;
  std::shared_ptr<IVxAVObjectScanner> scanner;
  {
    std::lock_guard guard(lock_);
    if (kernelCallback_ == nullptr || m_spAVObjectScanner_ == nullptr) return;
    callback = kernelCallback_;
    scanner = m_spAVObjectScanner_;
  }
  if (cancelled) {
    callback->onComplete(AV_OPERATION_RESULT_CANCELLED);
    return;
  }
  const auto record = scanner->getResult(key);
  if (!record.ok || record.value == nullptr) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScanThread::progress")
        << L"CVxAVScanThread::progress - failed to get result for object " << name;
    callback->progress(name, AV_OBJECT_STATUS_NOT_VERIFIED, 0);
    return;
  }
  callback->progress(name, statusOf(*record.value), 0);
}

void CVxAVScanThread::reportError(std::uint32_t error) {
  std::shared_ptr<IVxAVScanner_Callback> callback;
  {
    std::lock_guard guard(lock_);
    callback = kernelCallback_;
  }
  if (callback != nullptr) callback->onError(error);
}
