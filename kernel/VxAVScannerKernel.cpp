#include "kernel/VxAVScannerKernel.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <type_traits>

#include "documents/IVxAVScanResultXML.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "kernel/VxAVScannerKernelActivityView.h"
#include "platform/Thread.h"

namespace {
constexpr wchar_t kLogSource[] = L"VxAVScannerKernel";
constexpr wchar_t kThreadName[] = L"CVxAVScannerKernel";
constexpr std::uint32_t kCancelAcksExpected = SCAN_THREAD_COUNT;

void logOutOfMemory(const wchar_t* function) {
  VX_LOG(VX_LOG_ERROR, function) << function << L" - out of memory, error = "
                                 << ERROR_NOT_ENOUGH_MEMORY;
}

// Runs a public call; an allocation failure inside it is logged and becomes error
// 8 instead of leaving the kernel as an exception.
template <class Body>
auto outOfMemoryIsError8(const wchar_t* function, Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    logOutOfMemory(function);
    if constexpr (!std::is_void_v<decltype(body())>) return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  }
}
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
  try {
    std::lock_guard guard(kernelMutex_);
    if (initialized_) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::Init")
          << L"CVxAVScannerKernel::Init - Already initialized";
      return VxNAFail(VX_E_ALREADY_INITIALIZED);
    }
    configXml_ = configuration;
    spCallback_ = std::move(callback);
  } catch (const std::bad_alloc&) {
    logOutOfMemory(L"CVxAVScannerKernel::Init");
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  }
  VxNAResult<> result;
  try {
    result = initializeKernel();
  } catch (const std::bad_alloc&) {
    logOutOfMemory(L"CVxAVScannerKernel::Init");
    result = VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (!result) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::Init")
        << L"CVxAVScannerKernel::Init - initializeKernel failed, error = " << result.error;
  } else {
    // Without its thread the kernel could accept requests it never serves.
    std::uint32_t error = 0;
    try {
      error = startKernelThread();
    } catch (const std::bad_alloc&) {
      logOutOfMemory(L"CVxAVScannerKernel::Init");
      error = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (error != 0) {
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
  // Reserved first: no allocation may fail once threads run.
  threads.reserve(SCAN_THREAD_COUNT);
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
  return outOfMemoryIsError8(L"CVxAVScannerKernel::DeInit", [&]() -> VxNAResult<> {
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
    stopKernelThread(wait);
    std::lock_guard guard(kernelMutex_);
    spCallback_.reset();
    configXml_.clear();
    initialized_ = false;
    // An activity cannot outlive the threads that carried it: without this reset a
    // kernel stopped during a scan would refuse every later request with 170. Its
    // number is retired, so that nothing still on its way counts for a later one.
    activityState_ = Idle;
    ++activitySerial_;
    activityView_.reset();
    resetActivityState();
    resetResultsOnCollect_ = true;
    return result;
  });
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
  // What can fail comes first, so that a failure leaves the kernel as it was. The
  // kernel thread cannot see the event before the state below is set: it takes
  // the kernel lock first.
  const std::uint64_t activity = activitySerial_ + 1;
  std::shared_ptr<IVxAVScanner_Callback> view =
      std::make_shared<CVxAVScannerKernelActivityView>(weak_from_this(), activity);
  event->activity = activity;
  post(std::move(event));
  activitySerial_ = activity;
  activityView_ = std::move(view);
  resetActivityState();
  activityState_ = InProgress;
  VX_LOG(VX_LOG_NORMAL, function) << entering;
  return VxNASuccess();
}

void CVxAVScannerKernel::resetActivityState() {
  platform::RecursiveLock guard(kernelMutex_);
  profileMode_ = false;
  cleanAfterProfile_ = false;
  cancelAcks_ = 0;
  expansionError_ = 0;
  queuedCount_ = 0;
  doneCount_ = 0;
  doneSize_ = 0;
  // No pass has finished its expansion yet.
  allQueued_ = false;
  queuedNames_.clear();
}

VxNAResult<> CVxAVScannerKernel::Scan(bool clean) {
  return outOfMemoryIsError8(L"CVxAVScannerKernel::Scan", [&] {
    auto event = std::make_shared<CVxAVScannerKernelEvent>(VX_AVSCANNER_EVENT_PROFILE_SCAN);
    event->mode = clean ? VX_AVSCANNER_MODE_SCAN_AND_CLEAN : VX_AVSCANNER_MODE_SCAN;
    return startActivity(
        L"CVxAVScannerKernel::Scan", L"CVxAVScannerKernel::Scan - Not initialized",
        L"CVxAVScannerKernel::Scan - Activity in progress. A further scan cannot be launched",
        L"CVxAVScannerKernel::Scan - Entering activity in progress state", std::move(event));
  });
}

VxNAResult<> CVxAVScannerKernel::Clean() {
  return outOfMemoryIsError8(L"CVxAVScannerKernel::Clean", [&] {
    return startActivity(
        L"CVxAVScannerKernel::Clean", L"CVxAVScannerKernel::Clean - Not initialized",
        L"CVxAVScannerKernel::Clean - Activity in progress. A further clean cannot be launched",
        L"CVxAVScannerKernel::Clean - Entering activity in progress state",
        std::make_shared<CVxAVScannerKernelEvent>(VX_AVSCANNER_EVENT_CLEAN));
  });
}

VxNAResult<> CVxAVScannerKernel::CleanObject(const std::wstring& path) {
  return outOfMemoryIsError8(L"CVxAVScannerKernel::CleanObject", [&] {
    auto event = std::make_shared<CVxAVScannerKernelEvent>(VX_AVSCANNER_EVENT_SCAN);
    event->object = std::make_shared<CVxAVScanObject>(VX_SCAN_OBJECT_FILE, path);
    return startActivity(
        L"CVxAVScannerKernel::CleanObject", L"CVxAVScannerKernel::CleanObject - Not initialized",
        L"CVxAVScannerKernel::CleanObject - Activity in progress. A further clean cannot be "
        L"launched",
        L"CVxAVScannerKernel::CleanObject - Entering activity in progress state",
        std::move(event));
  });
}

VxNAResult<> CVxAVScannerKernel::Cancel() {
  return outOfMemoryIsError8(L"CVxAVScannerKernel::Cancel", [&]() -> VxNAResult<> {
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
  });
}

VxNAResult<std::wstring> CVxAVScannerKernel::GetReport(bool complete) {
  return outOfMemoryIsError8(L"CVxAVScannerKernel::GetReport", [&]() -> VxNAResult<std::wstring> {
  VxScanObjectResultSet records;
  std::uint64_t notQueued = 0;
  std::uint32_t notListed = 0;
  {
    std::lock_guard guard(kernelMutex_);
    if (!initialized_) return VxNAFail(VX_E_NOT_INITIALIZED);
    if (activityState_ != Idle) return VxNAFail(ERROR_BUSY);
    for (const auto& [name, record] : mergedResults_) records.insert(record);
    notQueued = objectsNotQueued_;
    notListed = sourcesNotListed_;
  }
  auto report = factories_.createScanResultXML();
  if (!report) return VxNAFail(report.error);
  if (report.value == nullptr) return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  report.value->setObjectsNotQueued(notQueued);
  report.value->setProcessesNotListed(notListed);
  if (auto set = report.value->setResults(records); !set) return VxNAFail(set.error);
  std::wstring xml;
  if (auto got = report.value->takeXML(xml, complete); !got) return VxNAFail(got.error);
  if (xml.empty()) return VxNAFail(ERROR_FUNCTION_FAILED);
  return xml;
  });
}

VxNAResult<> CVxAVScannerKernel::GetVersion(std::uint32_t type, std::wstring& version) {
  return outOfMemoryIsError8(L"CVxAVScannerKernel::GetVersion", [&]() -> VxNAResult<> {
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
  });
}

// ---------------------------------------------------------------------------
// Kernel thread

std::uint32_t CVxAVScannerKernel::startKernelThread() {
  for (;;) {
    {
      std::lock_guard guard(threadLock_);
      if (servingThreads_ > 0) {
        // The previous thread has not taken its stop yet (or is busy in a client
        // callback): it serves this life too, and its stop marker is ignored.
        stopRequested_ = false;
        VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::Init")
            << L"CVxAVScannerKernel::Init - the running kernel thread serves on";
        return 0;
      }
    }
    if (!hasThread()) break;
    // A thread that has taken its stop is ending: reap it so that Start runs a
    // fresh one. One that had not started serving yet takes its stop and ends too.
    Reap();
  }
  {
    std::lock_guard guard(threadLock_);
    stopRequested_ = false;
  }
  return Start(kThreadName, weak_from_this().lock());
}

void CVxAVScannerKernel::stopKernelThread(bool wait) {
  if (!wait) {
    TerminateMyThread();
  } else if (hasThread()) {
    Stop();
  } else {
    // The thread serving now was handed over from an earlier life and runs
    // detached: wait for it through the bookkeeping instead of its handle.
    TerminateMyThread();
    waitUntilNoThreadServes();
  }
}

void CVxAVScannerKernel::waitUntilNoThreadServes() {
  std::unique_lock guard(threadLock_);
  if (servingThreads_ == 0) return;
  // A thread that stops itself cannot wait for its own end.
  if (servingThreadId_ == platform::currentThreadId()) return;
  if (threadLeft_.wait_for(guard, kStopWait, [this] { return servingThreads_ == 0; })) {
    VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::DeInit")
        << L"Wait for " << kThreadName << L" thread handle was successful";
  } else {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::DeInit")
        << L"Wait for " << kThreadName << L" timed out - terminating thread";
  }
}

std::size_t CVxAVScannerKernel::servingThreadCount() const {
  std::lock_guard guard(threadLock_);
  return servingThreads_;
}

void CVxAVScannerKernel::TerminateMyThread() {
  std::lock_guard guard(threadLock_);
  stopRequested_ = true;
  try {
    inbox_.postAbort();
  } catch (const std::bad_alloc&) {
    logOutOfMemory(L"CVxAVScannerKernel::TerminateMyThread");
  }
}

bool CVxAVScannerKernel::leaveOnStop() {
  std::lock_guard guard(threadLock_);
  if (!stopRequested_) {
    VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::ThreadProc")
        << L"CVxAVScannerKernel::ThreadProc - stop withdrawn by a new initialization, serving on";
    return false;
  }
  --servingThreads_;
  servingThreadId_ = 0;
  threadLeft_.notify_all();
  return true;
}

void CVxAVScannerKernel::post(std::shared_ptr<CVxAVScannerKernelEvent> event) {
  std::lock_guard guard(kernelMutex_);
  inbox_.post(std::move(event));
}

void CVxAVScannerKernel::ThreadProc() {
  {
    std::lock_guard guard(threadLock_);
    ++servingThreads_;
    servingThreadId_ = platform::currentThreadId();
  }
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
      if (leaveOnStop()) break;
      continue;
    }
    if (!item->isDeliverable()) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::ThreadProc")
          << L"CVxAVScannerKernel::ThreadProc - spEvent is not relevant";
      continue;
    }
    if (const auto* event = dynamic_cast<const CVxAVScannerKernelEvent*>(item.get())) {
      dispatchGuarded(*event);
    }
    platform::sleepFor(std::chrono::milliseconds(1));
  }
  VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::ThreadProc")
      << L"CVxAVScannerKernel::ThreadProc terminated normally";
}

void CVxAVScannerKernel::dispatchGuarded(const CVxAVScannerKernelEvent& event) {
  try {
    dispatch(event);
  } catch (const std::bad_alloc&) {
    failOutOfMemory(L"CVxAVScannerKernel::ThreadProc", event.activity);
  }
}

void CVxAVScannerKernel::failOutOfMemory(const wchar_t* function, std::uint64_t activity) {
  logOutOfMemory(function);
  try {
    reportError(activity, ERROR_NOT_ENOUGH_MEMORY);
  } catch (const std::bad_alloc&) {
    logOutOfMemory(function);
  }
}

bool CVxAVScannerKernel::isCurrent(std::uint64_t activity) {
  std::lock_guard guard(kernelMutex_);
  return activityState_ != Idle && activity == activitySerial_;
}

void CVxAVScannerKernel::dispatch(const CVxAVScannerKernelEvent& event) {
  const auto received = [](const wchar_t* name) {
    VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::ThreadProc")
        << L"CVxAVScannerKernel::ThreadProc - Received event " << name;
  };
  // A pass of an activity that has ended (cancelled, failed, stopped by DeInit)
  // must not run in a later one.
  const auto stale = [&] {
    if (isCurrent(event.activity)) return false;
    VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::ThreadProc")
        << L"CVxAVScannerKernel::ThreadProc - event of an activity that has ended, dropped";
    return true;
  };
  VxNAResult<> result;
  switch (event.id) {
    case VX_AVSCANNER_EVENT_PROFILE_SCAN:
      received(L"VX_AVSCANNER_EVENT_PROFILE_SCAN");
      if (stale()) return;
      if (event.mode != VX_AVSCANNER_MODE_NONE) {
        result = doProfileScan(event.mode == VX_AVSCANNER_MODE_SCAN_AND_CLEAN);
      }
      break;
    case VX_AVSCANNER_EVENT_SCAN:
      received(L"VX_AVSCANNER_EVENT_SCAN");
      if (stale()) return;
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
      if (stale()) return;
      if (event.object == nullptr) result = doClean();
      break;
    case VX_AVSCANNER_EVENT_CANCEL:
      received(L"VX_AVSCANNER_EVENT_CANCEL");
      result = cancelActivity();
      break;
    case VX_AVSCANNER_EVENT_PROGRESS:
      reportProgress(event.activity, event.name, event.status);
      return;
    case VX_AVSCANNER_EVENT_ONERROR:
      received(L"VX_AVSCANNER_EVENT_ONERROR");
      handleError(event.error, event.activity);
      return;
    case VX_AVSCANNER_EVENT_ONCOMPLETE:
      received(L"VX_AVSCANNER_EVENT_ONCOMPLETE");
      handleComplete(event.result, event.activity);
      return;
    default:
      VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::ThreadProc")
          << L"CVxAVScannerKernel::ThreadProc - Received unknown event " << event.id;
      return;
  }
  if (!result) reportError(event.activity, result.error);
}

// ---------------------------------------------------------------------------
// Reports of the scan threads, and the kernel's own views

std::uint64_t CVxAVScannerKernel::currentActivity() {
  std::lock_guard guard(kernelMutex_);
  return activitySerial_;
}

void CVxAVScannerKernel::progress(const std::wstring& objectName, std::uint32_t objectStatus,
                                  std::uint32_t /*percent*/) {
  outOfMemoryIsError8(L"CVxAVScannerKernel::progress",
                      [&] { reportProgress(currentActivity(), objectName, objectStatus); });
}

void CVxAVScannerKernel::onError(std::uint32_t error) {
  outOfMemoryIsError8(L"CVxAVScannerKernel::onError",
                      [&] { reportError(currentActivity(), error); });
}

void CVxAVScannerKernel::onComplete(std::uint32_t result) {
  outOfMemoryIsError8(L"CVxAVScannerKernel::onComplete",
                      [&] { reportComplete(currentActivity(), result); });
}

void CVxAVScannerKernel::reportProgress(std::uint64_t activity, const std::wstring& objectName,
                                        std::uint32_t objectStatus) {
  try {
    {
      // An object of a pass the client does not hear about (the profile pass) is
      // only counted: one look at the kernel's state, without queueing behind
      // the client's progress calls.
      std::lock_guard guard(kernelMutex_);
      if (activity == activitySerial_ && activityState_ == InProgress && (spCallback_ == nullptr || profileMode_)) {
        ++doneCount_;
        checkForCompletion();
        return;
      }
    }
    // Held across the client's call: the kernel thread takes it before it ends an
    // activity, so no progress of the activity can follow its completion.
    std::lock_guard order(progressOrderMutex_);
    std::shared_ptr<IVxAVScanner_Callback> callback;
    std::uint32_t percent = 0;
    ActivityState state = Idle;
    {
      std::lock_guard guard(kernelMutex_);
      state = activity == activitySerial_ ? activityState_ : Idle;
      if (state == InProgress && spCallback_ != nullptr && !profileMode_) {
        callback = spCallback_;
        percent = donePercent(objectName);
      }
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
    if (callback != nullptr) {
      try {
        callback->progress(objectName, objectStatus, percent);
      } catch (const std::bad_alloc&) {
        // The client's failure to take a report must not stall the activity.
        logOutOfMemory(L"CVxAVScannerKernel::progress");
      }
    }
    std::lock_guard guard(kernelMutex_);
    if (activity != activitySerial_) return;
    ++doneCount_;
    checkForCompletion();
  } catch (const std::bad_alloc&) {
    failOutOfMemory(L"CVxAVScannerKernel::progress", activity);
  }
}

std::uint32_t CVxAVScannerKernel::donePercent(const std::wstring& objectName) {
  const auto found = mergedResults_.find(objectName);
  if (totalSize_ == 0 || found == mergedResults_.end() || found->second == nullptr) return 0;
  doneSize_ += found->second->itemSize;
  const double share = static_cast<double>(doneSize_) / static_cast<double>(totalSize_);
  return static_cast<std::uint32_t>(std::min(share * 100.0, 100.0));
}

void CVxAVScannerKernel::reportError(std::uint64_t activity, std::uint32_t error) {
  try {
    auto event = std::make_shared<CVxAVScannerKernelEvent>(VX_AVSCANNER_EVENT_ONERROR);
    event->error = error;
    event->activity = activity;
    post(std::move(event));
  } catch (const std::bad_alloc&) {
    logOutOfMemory(L"CVxAVScannerKernel::onError");
  }
}

void CVxAVScannerKernel::reportComplete(std::uint64_t activity, std::uint32_t result) {
  try {
    auto event = std::make_shared<CVxAVScannerKernelEvent>(VX_AVSCANNER_EVENT_ONCOMPLETE);
    event->result = result;
    event->activity = activity;
    post(std::move(event));
  } catch (const std::bad_alloc&) {
    logOutOfMemory(L"CVxAVScannerKernel::onComplete");
  }
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
  const std::uint64_t activity = activitySerial_;
  // A pass completes once: later calls find the expansion no longer finished.
  allQueued_ = false;
  // A pass that admitted nothing has nothing to hand to a next pass: the whole
  // operation is complete.
  if (!profileMode_ || queuedCount_ == 0) {
    profileMode_ = false;
    reportComplete(activity, AV_OPERATION_RESULT_COMPLETED);
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
  postNextPass(clean, activity);
}

void CVxAVScannerKernel::postNextPass(bool clean, std::uint64_t activity) {
  auto next = std::make_shared<CVxAVScannerKernelEvent>(VX_AVSCANNER_EVENT_SCAN);
  next->mode = clean ? VX_AVSCANNER_MODE_SCAN_AND_CLEAN : VX_AVSCANNER_MODE_SCAN;
  next->activity = activity;
  post(std::move(next));
}

void CVxAVScannerKernel::drainProgress() { std::lock_guard order(progressOrderMutex_); }

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
    resetActivityState();
    resetResultsOnCollect_ = true;
  }
  drainProgress();
  if (callback != nullptr) callback->onError(error);
}

void CVxAVScannerKernel::handleComplete(std::uint32_t result, std::uint64_t activity) {
  {
    std::lock_guard guard(kernelMutex_);
    if (spCallback_ == nullptr) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::onComplete")
          << L"CVxAVScannerKernel::onComplete - spCallback is NULL";
      return;
    }
    // A late report of an activity that has ended finds no activity of its own.
    const ActivityState state = activity == activitySerial_ ? activityState_ : Idle;
    switch (state) {
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
    resetActivityState();
    resetResultsOnCollect_ = true;
    callback = spCallback_;
  }
  drainProgress();
  if (callback != nullptr) callback->onComplete(result);
}
