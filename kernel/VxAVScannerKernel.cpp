#include "kernel/VxAVScannerKernel.h"

#include <algorithm>
#include <chrono>

#include "documents/IVxAVScanResultXML.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "platform/Thread.h"

namespace {
constexpr wchar_t kLogSource[] = L"VxAVScannerKernel";
constexpr wchar_t kThreadName[] = L"CVxAVScannerKernel";
constexpr std::uint32_t kCancelAcksExpected = SCAN_THREAD_COUNT;
}  // namespace

VxNAResult<std::shared_ptr<IVxAVScannerKernel>> CVxAVScannerKernel::GetInstance() {
  return GetInstance(CVxAVScannerKernelFactories::defaults());
}

VxNAResult<std::shared_ptr<IVxAVScannerKernel>> CVxAVScannerKernel::GetInstance(
    CVxAVScannerKernelFactories factories) {
  try {
    std::shared_ptr<IVxAVScannerKernel> kernel =
        std::make_shared<CVxAVScannerKernel>(std::move(factories));
    return kernel;
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

CVxAVScannerKernel::CVxAVScannerKernel(CVxAVScannerKernelFactories factories)
    : CVxNAThread(/*initCom=*/true), factories_(std::move(factories)) {}

CVxAVScannerKernel::~CVxAVScannerKernel() = default;

std::shared_ptr<IVxAVScanner_Callback> CVxAVScannerKernel::callbackView() {
  return weak_from_this().lock();
}

std::shared_ptr<IVxAVScannerXMLConfig_Callback> CVxAVScannerKernel::sourceView() {
  return weak_from_this().lock();
}

// ---------------------------------------------------------------------------
// Life cycle

VxNAResult<> CVxAVScannerKernel::Init(std::shared_ptr<IVxAVScanner_Callback> callback,
                                      const std::wstring& configuration) {
  if (callback == nullptr || configuration.empty()) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::Init")
        << L"CVxAVScannerKernel::Init - Invalid parameters";
    return VxNAFail(ERROR_INVALID_PARAMETER);
  }
  std::lock_guard lifecycle(lifecycleMutex_);
  {
    std::lock_guard guard(kernelMutex_);
    if (initialized_) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::Init")
          << L"CVxAVScannerKernel::Init - Already initialized";
      return VxNAFail(VX_E_ALREADY_INITIALIZED);
    }
    spCallback_ = std::move(callback);
    configXml_ = configuration;
  }
  VxNAResult<> result = initializeKernel();
  if (!result) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::Init")
        << L"CVxAVScannerKernel::Init - initializeKernel failed, error = " << result.error;
  } else {
    // Events left from an earlier life of this kernel must not run in this one.
    inbox_.clear();
    // Without its thread the kernel could accept requests it never serves.
    if (const std::uint32_t error = Start(kThreadName, weak_from_this().lock()); error != 0) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::Init")
          << L"CVxAVScannerKernel::Init - failed to start the kernel thread, error = " << error;
      deInitializeKernel();
      result = VxNAFail(error);
    }
  }
  std::lock_guard guard(kernelMutex_);
  if (!result) {
    spCallback_.reset();
    configXml_.clear();
    return result;
  }
  initialized_ = true;
  return VxNASuccess();
}

VxNAResult<> CVxAVScannerKernel::initializeKernel() {
  auto engine = factories_.getAVEngine();
  if (!engine) return VxNAFail(engine.error);
  auto config = loadConfiguration();
  if (!config) return VxNAFail(config.error);
  std::shared_ptr<VxNASharedEventQueue> queue;
  try {
    queue = std::make_shared<VxNASharedEventQueue>();
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  }
  auto view = callbackView();
  if (view == nullptr) return VxNAFail(ERROR_INVALID_DATA);

  std::vector<std::shared_ptr<CVxAVScanThread>> threads;
  for (std::size_t i = 0; i < SCAN_THREAD_COUNT; ++i) {
    auto thread = createScanThread(queue, view);
    if (!thread) {
      stopScanThreads(threads);
      return VxNAFail(thread.error);
    }
    threads.push_back(std::move(thread.value));
  }
  std::lock_guard guard(kernelMutex_);
  engine_ = std::move(engine.value);
  config_ = std::move(config.value);
  scanQueue_ = std::move(queue);
  scanThreads_ = std::move(threads);
  return VxNASuccess();
}

VxNAResult<std::shared_ptr<IVxAVScannerXMLConfig>> CVxAVScannerKernel::loadConfiguration() {
  auto config = factories_.createXMLConfig();
  if (!config) return config;
  if (config.value == nullptr) return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  std::wstring text;
  {
    std::lock_guard guard(kernelMutex_);
    text = configXml_;
  }
  if (auto loaded = config.value->setConfiguration(text); !loaded) return VxNAFail(loaded.error);
  return config;
}

VxNAResult<std::shared_ptr<CVxAVScanThread>> CVxAVScannerKernel::createScanThread(
    std::shared_ptr<VxNASharedEventQueue> queue, std::shared_ptr<IVxAVScanner_Callback> callback) {
  if (queue == nullptr || callback == nullptr) return VxNAFail(ERROR_INVALID_PARAMETER);
  std::shared_ptr<CVxAVScanThread> thread;
  try {
    thread = std::make_shared<CVxAVScanThread>();
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (auto started = thread->Init(std::move(queue), std::move(callback)); !started) {
    return VxNAFail(started.error);
  }
  return thread;
}

void CVxAVScannerKernel::stopScanThreads(
    const std::vector<std::shared_ptr<CVxAVScanThread>>& threads) {
  for (const auto& thread : threads) thread->uninit();
}

VxNAResult<> CVxAVScannerKernel::DeInit(bool wait) {
  std::lock_guard lifecycle(lifecycleMutex_);
  {
    std::lock_guard guard(kernelMutex_);
    if (!initialized_) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::DeInit")
          << L"CVxAVScannerKernel::DeInit - Not initialized";
      return VxNAFail(VX_E_NOT_INITIALIZED);
    }
  }
  const VxNAResult<> result = deInitializeKernel();
  if (!result) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::DeInit")
        << L"CVxAVScannerKernel::DeInit - deInitializeKernel failed, error = " << result.error;
  }
  if (wait) {
    Stop();
  } else {
    TerminateMyThread();
  }
  std::lock_guard guard(kernelMutex_);
  spCallback_.reset();
  configXml_.clear();
  initialized_ = false;
  // An activity cannot outlive the threads that carried it: without this reset a
  // kernel stopped during a scan would refuse every later request with 170.
  activityState_ = Idle;
  cancelAcks_ = 0;
  resetResultsOnCollect_ = true;
  return result;
}

VxNAResult<> CVxAVScannerKernel::deInitializeKernel() {
  std::vector<std::shared_ptr<CVxAVScanThread>> threads;
  {
    std::lock_guard guard(kernelMutex_);
    threads = scanThreads_;
  }
  for (const auto& thread : threads) {
    if (auto stopped = thread->uninit(); !stopped) return stopped;
  }
  std::lock_guard guard(kernelMutex_);
  scanThreads_.clear();
  scanQueue_.reset();
  config_.reset();
  engine_.reset();
  return VxNASuccess();
}

// ---------------------------------------------------------------------------
// Requests

VxNAResult<> CVxAVScannerKernel::startActivity(const wchar_t* function,
                                               const wchar_t* notInitialized, const wchar_t* busy,
                                               const wchar_t* entering,
                                               std::shared_ptr<CVxAVScannerKernelEvent> event) {
  std::lock_guard guard(kernelMutex_);
  if (!initialized_) {
    VX_LOG(VX_LOG_WARNING, function) << notInitialized;
    return VxNAFail(VX_E_NOT_INITIALIZED);
  }
  if (activityState_ != Idle) {
    VX_LOG(VX_LOG_WARNING, function) << busy;
    return VxNAFail(ERROR_BUSY);
  }
  activityState_ = InProgress;
  ++activitySerial_;
  VX_LOG(VX_LOG_NORMAL, function) << entering;
  post(std::move(event));
  return VxNASuccess();
}

VxNAResult<> CVxAVScannerKernel::Scan(bool clean) {
  auto event = std::make_shared<CVxAVScannerKernelEvent>(VX_AVSCANNER_EVENT_PROFILE_SCAN);
  event->mode = clean ? VX_AVSCANNER_MODE_SCAN_AND_CLEAN : VX_AVSCANNER_MODE_SCAN;
  return startActivity(
      L"CVxAVScannerKernel::Scan", L"CVxAVScannerKernel::Scan - Not initialized",
      L"CVxAVScannerKernel::Scan - Activity in progress. A further scan cannot be launched",
      L"CVxAVScannerKernel::Scan - Entering activity in progress state", std::move(event));
}

VxNAResult<> CVxAVScannerKernel::Clean() {
  return startActivity(
      L"CVxAVScannerKernel::Clean", L"CVxAVScannerKernel::Clean - Not initialized",
      L"CVxAVScannerKernel::Clean - Activity in progress. A further clean cannot be launched",
      L"CVxAVScannerKernel::Clean - Entering activity in progress state",
      std::make_shared<CVxAVScannerKernelEvent>(VX_AVSCANNER_EVENT_CLEAN));
}

VxNAResult<> CVxAVScannerKernel::CleanObject(const std::wstring& path) {
  auto event = std::make_shared<CVxAVScannerKernelEvent>(VX_AVSCANNER_EVENT_SCAN);
  event->object = std::make_shared<CVxAVScanObject>(VX_SCAN_OBJECT_FILE, path);
  return startActivity(
      L"CVxAVScannerKernel::CleanObject", L"CVxAVScannerKernel::CleanObject - Not initialized",
      L"CVxAVScannerKernel::CleanObject - Activity in progress. A further clean cannot be "
      L"launched",
      L"CVxAVScannerKernel::CleanObject - Entering activity in progress state", std::move(event));
}

VxNAResult<> CVxAVScannerKernel::Cancel() {
  {
    std::lock_guard guard(kernelMutex_);
    if (!initialized_) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::Cancel")
          << L"CVxAVScannerKernel::Cancel - Not initialized";
      return VxNAFail(VX_E_NOT_INITIALIZED);
    }
    if (activityState_ == Idle) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::Cancel")
          << L"CVxAVScannerKernel::Cancel - No activity in progress, so nothing to cancel";
      return VxNAFail(VX_E_NOTHING_TO_CANCEL);
    }
    if (activityState_ == Cancelling) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::Cancel")
          << L"CVxAVScannerKernel::Cancel - Already triggered a cancel";
      return VxNAFail(ERROR_BUSY);
    }
    activityState_ = Cancelling;
  }
  VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::Cancel")
      << L"CVxAVScannerKernel::Cancel - Entering cancelling state";
  return cancelActivity();
}

VxNAResult<std::wstring> CVxAVScannerKernel::GetReport(bool complete) {
  VxScanObjectResultSet records;
  {
    std::lock_guard guard(kernelMutex_);
    if (!initialized_) return VxNAFail(VX_E_NOT_INITIALIZED);
    if (activityState_ != Idle) return VxNAFail(ERROR_BUSY);
    for (const auto& [name, record] : mergedResults_) records.insert(record);
  }
  auto report = factories_.createScanResultXML();
  if (!report) return VxNAFail(report.error);
  if (report.value == nullptr) return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  if (auto set = report.value->setResults(records); !set) return VxNAFail(set.error);
  std::wstring xml;
  if (auto got = report.value->getXML(xml, complete); !got) return VxNAFail(got.error);
  if (xml.empty()) return VxNAFail(ERROR_FUNCTION_FAILED);
  return xml;
}

VxNAResult<> CVxAVScannerKernel::GetVersion(std::uint32_t type, std::wstring& version) {
  std::shared_ptr<IVxAVScannerVersionInfo> info;
  {
    std::lock_guard guard(kernelMutex_);
    info = versionInfo_;
  }
  if (info == nullptr) {
    auto created = factories_.getAVScannerVersionInfo();
    if (!created) return VxNAFail(created.error);
    std::lock_guard guard(kernelMutex_);
    if (versionInfo_ == nullptr) versionInfo_ = std::move(created.value);
    info = versionInfo_;
  }
  switch (type) {
    case 0:
    case 1:
    case 2:
      break;
    default:
      return VxNAFail(ERROR_INVALID_PARAMETER);
  }
  if (info == nullptr) return VxNAFail(ERROR_INVALID_DATA);
  if (type == 0) return info->getComponentVersion(version);
  if (type == 1) return info->getEngineVersion(version);
  return info->getDataSetVersion(version);
}

// ---------------------------------------------------------------------------
// Kernel thread

void CVxAVScannerKernel::TerminateMyThread() {
  std::lock_guard guard(kernelMutex_);
  inbox_.postAbort();
}

void CVxAVScannerKernel::post(std::shared_ptr<CVxAVScannerKernelEvent> event) {
  std::lock_guard guard(kernelMutex_);
  inbox_.post(std::move(event));
}

void CVxAVScannerKernel::ThreadProc() {
  VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::ThreadProc")
      << L"CVxAVScannerKernel::ThreadProc started";
  for (;;) {
    const auto item = inbox_.wait();
    if (item == nullptr) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::ThreadProc")
          << L"CVxAVScannerKernel::ThreadProc - spEvent is NULL";
      continue;
    }
    if (item->isAbort()) {
      VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::ThreadProc")
          << L"CVxAVScannerKernel::ThreadProc - Abort triggered by Event";
      break;
    }
    if (!item->isDeliverable()) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::ThreadProc")
          << L"CVxAVScannerKernel::ThreadProc - spEvent is not relevant";
      continue;
    }
    if (const auto* event = dynamic_cast<const CVxAVScannerKernelEvent*>(item.get())) {
      dispatch(*event);
    }
    platform::sleepFor(std::chrono::milliseconds(1));
  }
  VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::ThreadProc")
      << L"CVxAVScannerKernel::ThreadProc terminated normally";
}

void CVxAVScannerKernel::dispatch(const CVxAVScannerKernelEvent& event) {
  const auto received = [](const wchar_t* name) {
    VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::ThreadProc")
        << L"CVxAVScannerKernel::ThreadProc - Received event " << name;
  };
  VxNAResult<> result;
  switch (event.id) {
    case VX_AVSCANNER_EVENT_PROFILE_SCAN:
      received(L"VX_AVSCANNER_EVENT_PROFILE_SCAN");
      if (event.mode != VX_AVSCANNER_MODE_NONE) {
        result = doProfileScan(event.mode == VX_AVSCANNER_MODE_SCAN_AND_CLEAN);
      }
      break;
    case VX_AVSCANNER_EVENT_SCAN:
      received(L"VX_AVSCANNER_EVENT_SCAN");
      if (event.object != nullptr) {
        result = doCleanObject(event.object->getPath());
      } else if (event.mode == VX_AVSCANNER_MODE_SCAN) {
        result = doScanOnly();
      } else if (event.mode == VX_AVSCANNER_MODE_SCAN_AND_CLEAN) {
        result = doScanAndClean();
      }
      break;
    case VX_AVSCANNER_EVENT_CLEAN:
      received(L"VX_AVSCANNER_EVENT_CLEAN");
      if (event.object == nullptr) result = doClean();
      break;
    case VX_AVSCANNER_EVENT_CANCEL:
      received(L"VX_AVSCANNER_EVENT_CANCEL");
      result = cancelActivity();
      break;
    case VX_AVSCANNER_EVENT_PROGRESS:
      progress(event.name, event.status, event.percent);
      return;
    case VX_AVSCANNER_EVENT_ONERROR:
      received(L"VX_AVSCANNER_EVENT_ONERROR");
      handleError(event.error, event.activity);
      return;
    case VX_AVSCANNER_EVENT_ONCOMPLETE:
      received(L"VX_AVSCANNER_EVENT_ONCOMPLETE");
      handleComplete(event.result);
      return;
    default:
      VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::ThreadProc")
          << L"CVxAVScannerKernel::ThreadProc - Received unknown event " << event.id;
      return;
  }
  if (!result) onError(result.error);
}

// ---------------------------------------------------------------------------
// Reports of the scan threads, and the kernel's own views

void CVxAVScannerKernel::progress(const std::wstring& objectName, std::uint32_t objectStatus,
                                  std::uint32_t /*percent*/) {
  std::lock_guard order(progressOrderMutex_);
  std::shared_ptr<IVxAVScanner_Callback> callback;
  bool profileMode = false;
  ActivityState state = Idle;
  {
    std::lock_guard guard(kernelMutex_);
    callback = spCallback_;
    profileMode = profileMode_;
    state = activityState_;
  }
  if (state == Idle) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::progress")
        << L"CVxAVScannerKernel::progress - activity not started";
    return;
  }
  if (state == Cancelling) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::progress")
        << L"CVxAVScannerKernel::progress - activity in the process of cancelling";
    return;
  }
  if (callback != nullptr && !profileMode) {
    std::uint32_t percent = 0;
    {
      std::lock_guard guard(kernelMutex_);
      const auto found = mergedResults_.find(objectName);
      if (totalSize_ != 0 && found != mergedResults_.end() && found->second != nullptr) {
        doneSize_ += found->second->itemSize;
        const double share = static_cast<double>(doneSize_) / static_cast<double>(totalSize_);
        percent = static_cast<std::uint32_t>(std::min(share * 100.0, 100.0));
      }
    }
    callback->progress(objectName, objectStatus, percent);
  }
  std::lock_guard guard(kernelMutex_);
  ++doneCount_;
  checkForCompletion();
}

void CVxAVScannerKernel::onError(std::uint32_t error) {
  auto event = std::make_shared<CVxAVScannerKernelEvent>(VX_AVSCANNER_EVENT_ONERROR);
  event->error = error;
  std::lock_guard guard(kernelMutex_);
  event->activity = activitySerial_;
  post(std::move(event));
}

void CVxAVScannerKernel::onComplete(std::uint32_t result) {
  auto event = std::make_shared<CVxAVScannerKernelEvent>(VX_AVSCANNER_EVENT_ONCOMPLETE);
  event->result = result;
  post(std::move(event));
}

void CVxAVScannerKernel::checkForCompletion() {
  platform::RecursiveLock guard(kernelMutex_);
  if (activityState_ == Idle) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::checkForCompletion")
        << L"CVxAVScannerKernel::checkForCompletion - activity not started";
    return;
  }
  if (activityState_ == Cancelling) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::checkForCompletion")
        << L"CVxAVScannerKernel::checkForCompletion - activity in the process of cancelling";
    return;
  }
  if (!allQueued_ || doneCount_ < queuedCount_) return;
  VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::checkForCompletion")
      << L"CVxAVScannerKernel::checkForCompletion - operation complete";
  // A pass completes once: later calls find the expansion no longer finished.
  allQueued_ = false;
  // A pass that admitted nothing has nothing to hand to a next pass: the whole
  // operation is complete.
  if (!profileMode_ || queuedCount_ == 0) {
    profileMode_ = false;
    onComplete(AV_OPERATION_RESULT_COMPLETED);
    return;
  }
  const bool clean = cleanAfterProfile_;
  queuedCount_ = 0;
  doneCount_ = 0;
  profileMode_ = false;
  cleanAfterProfile_ = false;
  queuedNames_.clear();
  guard.unlock();
  if (auto collected = getResults(true); !collected) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::checkForCompletion")
        << L"CVxAVScannerKernel::checkForCompletion (profile mode) - getResults failed, error: "
        << collected.error;
  }
  auto next = std::make_shared<CVxAVScannerKernelEvent>(VX_AVSCANNER_EVENT_SCAN);
  next->mode = clean ? VX_AVSCANNER_MODE_SCAN_AND_CLEAN : VX_AVSCANNER_MODE_SCAN;
  post(std::move(next));
}

void CVxAVScannerKernel::handleError(std::uint32_t error, std::uint64_t activity) {
  {
    // Several workers can fail during one activity, and a failure can arrive
    // after its activity was cancelled: only the first error of a running
    // activity ends it; later ones must not end the next activity.
    std::lock_guard guard(kernelMutex_);
    if (activityState_ == Idle || activity != activitySerial_) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::onError")
          << L"CVxAVScannerKernel::onError - error of an activity that has ended, error = "
          << error;
      return;
    }
  }
  deInitializeKernel();
  std::shared_ptr<IVxAVScanner_Callback> callback;
  {
    std::lock_guard guard(kernelMutex_);
    callback = spCallback_;
    activityState_ = Idle;
    VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::onError")
        << L"CVxAVScannerKernel::onError - entering Idle activity state";
    resetResultsOnCollect_ = true;
  }
  if (callback != nullptr) callback->onError(error);
}

void CVxAVScannerKernel::handleComplete(std::uint32_t result) {
  {
    std::lock_guard guard(kernelMutex_);
    if (spCallback_ == nullptr) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::onComplete")
          << L"CVxAVScannerKernel::onComplete - spCallback is NULL";
      return;
    }
    switch (activityState_) {
      case Cancelling:
        if (result == AV_OPERATION_RESULT_COMPLETED) {
          VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::onComplete")
              << L"CVxAVScannerKernel::onComplete - received Completed status after a cancel. "
                 L"Forwarding a cancel complete event";
          cancelAcks_ = 0;
          result = AV_OPERATION_RESULT_CANCELLED;
        } else if (result == AV_OPERATION_RESULT_CANCELLED) {
          ++cancelAcks_;
          VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::onComplete")
              << L"CVxAVScannerKernel::onComplete - received Cancelled status from "
              << cancelAcks_ << L" scan threads";
          if (cancelAcks_ != kCancelAcksExpected) return;
          cancelAcks_ = 0;
        } else {
          VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::onComplete")
              << L"CVxAVScannerKernel::onComplete - Unknown operation status: " << result;
          return;
        }
        break;
      case InProgress:
        if (result == AV_OPERATION_RESULT_COMPLETED) {
          VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::onComplete")
              << L"CVxAVScannerKernel::onComplete - received operation Completed status";
        } else if (result == AV_OPERATION_RESULT_CANCELLED) {
          VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::onComplete")
              << L"CVxAVScannerKernel::onComplete - Cancel received when activity state is in "
                 L"progress. Verify flow.";
          return;
        } else {
          VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::onComplete")
              << L"CVxAVScannerKernel::onComplete - Unknown operation status: " << result;
          return;
        }
        break;
      case Idle:
        VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::onComplete")
            << L"CVxAVScannerKernel::onComplete - completion event received with no known "
               L"activity. Verify flow.";
        return;
    }
  }
  finishActivity(result);
}

void CVxAVScannerKernel::finishActivity(std::uint32_t result) {
  bool reset = true;
  {
    std::lock_guard guard(kernelMutex_);
    reset = resetResultsOnCollect_;
  }
  if (auto collected = getResults(reset); !collected) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::onComplete")
        << L"CVxAVScannerKernel::onComplete - getResults failed, error: " << collected.error;
  }
  std::shared_ptr<IVxAVScanner_Callback> callback;
  {
    std::lock_guard guard(kernelMutex_);
    VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::onComplete")
        << L"CVxAVScannerKernel::onComplete - Number of files scanned = "
        << mergedResults_.size();
    activityState_ = Idle;
    VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::onComplete")
        << L"CVxAVScannerKernel::onComplete - entering Idle activity state";
    resetResultsOnCollect_ = true;
    callback = spCallback_;
  }
  if (callback != nullptr) callback->onComplete(result);
}
