// The passes of an operation: how a request becomes scan objects in the shared
// queue, how each object is admitted, and how the scan threads' records are
// merged back. All run on the kernel thread, except getResults (also on the scan
// thread whose report completes a profile pass) and cancelActivity (on the thread
// that calls Cancel).
#include <new>
#include <set>

#include "engine/IVxAVScannerConfig.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "foundation/VxNATypeConversion.h"
#include "kernel/VxAVScannerKernel.h"
#include "platform/PathCase.h"

namespace {
constexpr wchar_t kLogSource[] = L"VxAVScannerKernel";

std::set<std::uint16_t> toEngineTypes(const std::set<std::uint32_t>& types) {
  std::set<std::uint16_t> engineTypes;
  for (std::uint32_t type : types) engineTypes.insert(static_cast<std::uint16_t>(type));
  return engineTypes;
}
}  // namespace

bool CVxAVScannerKernel::OnScanSource(std::shared_ptr<CVxAVScanObject> object) {
  try {
    return admit(std::move(object));
  } catch (const std::bad_alloc&) {
    VX_LOG(VX_LOG_ERROR, L"CVxAVScannerKernel::OnScanSource")
        << L"CVxAVScannerKernel::OnScanSource - out of memory, error = "
        << ERROR_NOT_ENOUGH_MEMORY;
    // The pass ends with the error once the expansion has stopped.
    std::lock_guard guard(kernelMutex_);
    expansionError_ = ERROR_NOT_ENOUGH_MEMORY;
    return true;
  }
}

void CVxAVScannerKernel::OnUnlistedSource() {
  std::lock_guard guard(kernelMutex_);
  ++sourcesNotListed_;
}

bool CVxAVScannerKernel::admit(std::shared_ptr<CVxAVScanObject> object) {
  // The object's names are read before the kernel lock is taken: the scan threads
  // take that lock for every object they finish.
  std::wstring path;
  std::wstring content;
  VxScanObjectIdentity identity;
  if (object != nullptr) {
    path = object->getPath();
    content = object->getOwnContentPath();
    identity = object->getIdentity();
  }
  std::lock_guard guard(kernelMutex_);
  if (config_ == nullptr || scanQueue_ == nullptr) return true;
  if (object == nullptr) return false;
  if (activityState_ != InProgress) {
    VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::OnScanSource")
        << L"CVxAVScannerKernel::OnScanSource - received scan source when scan shouldn't be "
           L"running";
    return true;
  }
  std::optional<std::wstring> renamed;
  if (isQueued(path)) {
    renamed = nameOfAnotherFile(path, identity);
    if (!renamed) return false;
  }
  const auto maximum = config_->getMaxScanCount();
  if (!maximum) return true;
  if (static_cast<std::uint64_t>(queuedCount_) + 1 > maximum.value) {
    // The expansion goes on, only to count what the limit leaves out: a scan that
    // misses objects says how many.
    if (objectsNotQueued_++ == 0) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::OnScanSource")
          << L"CVxAVScannerXMLConfig_UnitTest::OnScanSource - max scan count exceeded. Value: "
          << queuedCount_;
    }
    return false;
  }
  if (renamed) {
    // Read where it was found, reported under a name of its own.
    if (content.empty()) {
      content = path;
      object->setContentPath(content);
    }
    object->setPath(*renamed);
  }
  std::wstring name = renamed ? std::move(*renamed) : std::move(path);
  if (content == name) content.clear();
  // Remembered before it is queued, so that a failure leaves nothing half admitted.
  if (profileMode_) {
    queueRemembered(std::move(object), admittedObjects_,
                    admittedObjects_.try_emplace(std::move(name), AdmittedObject{std::move(content), std::move(identity)})
                        .first);
  } else {
    queueRemembered(std::move(object), queuedNames_, queuedNames_.insert(std::move(name)).first);
  }
  ++queuedCount_;
  return false;
}

template <class Remembered>
void CVxAVScannerKernel::queueRemembered(std::shared_ptr<CVxAVScanObject> object, Remembered& names,
                                         typename Remembered::iterator remembered) {
  try {
    scanQueue_->push(std::move(object), /*sticky=*/false);
  } catch (const std::bad_alloc&) {
    names.erase(remembered);
    throw;
  }
}

bool CVxAVScannerKernel::isQueued(const std::wstring& name) const {
  return profileMode_ ? admittedObjects_.contains(name) : queuedNames_.contains(name);
}

bool CVxAVScannerKernel::isAdmittedAs(const std::wstring& name, const VxScanObjectIdentity& identity) const {
  // Later passes queue the expansion's names, each once and for one file.
  if (!profileMode_) return true;
  const auto held = admittedObjects_.find(name);
  return held != admittedObjects_.end() && held->second.identity.sameFile(identity);
}

std::optional<std::wstring> CVxAVScannerKernel::nameOfAnotherFile(const std::wstring& name,
                                                                  const VxScanObjectIdentity& identity) const {
  if (isAdmittedAs(name, identity)) return std::nullopt;
  // Another file under a name already taken: a file named like another module's
  // report name, or a path that named another file when a second process was
  // looked at. It is scanned under a name of its own, never dropped.
  const std::wstring own = name + L" [pid " + std::to_wstring(identity.pid) + L", inode " +
                           std::to_wstring(identity.inode) + L"]";
  std::wstring candidate = own;
  for (unsigned copy = 2; isQueued(candidate); ++copy) {
    if (isAdmittedAs(candidate, identity)) return std::nullopt;
    candidate = own + L" [" + std::to_wstring(copy) + L"]";
  }
  return candidate;
}

VxNAResult<std::shared_ptr<IVxAVObjectScanner>> CVxAVScannerKernel::createObjectScanner(
    PassTypes types) {
  std::shared_ptr<IVxAVScannerXMLConfig> config;
  std::shared_ptr<IVxAVEngine> engine;
  {
    std::lock_guard guard(kernelMutex_);
    config = config_;
    engine = engine_;
  }
  if (config == nullptr) return VxNAFail(ERROR_INVALID_DATA);
  std::set<std::uint32_t> scanTypes;
  std::set<std::uint32_t> cleanTypes;
  if (types != PassTypes::None) {
    if (auto got = config->getScanTypes(scanTypes); !got) return VxNAFail(got.error);
  }
  if (types == PassTypes::ScanAndClean) {
    if (auto got = config->getCleanTypes(cleanTypes); !got) return VxNAFail(got.error);
  }
  auto created = factories_.createObjectScanner();
  if (!created) return created;
  auto scanner = created.value;
  auto scannerConfig = std::dynamic_pointer_cast<IVxAVScannerConfig>(scanner);
  if (scanner == nullptr || scannerConfig == nullptr) return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  if (auto set = scannerConfig->setEngine(engine); !set) return VxNAFail(set.error);
  if (auto set = scannerConfig->setScanTypes(toEngineTypes(scanTypes)); !set) {
    return VxNAFail(set.error);
  }
  if (auto set = scannerConfig->setCleanTypes(toEngineTypes(cleanTypes)); !set) {
    return VxNAFail(set.error);
  }
  const auto collect = config->getCollectHash();
  scannerConfig->setCollectHash(collect.ok && collect.value);
  if (auto initialized = scannerConfig->initialize(); !initialized) {
    return VxNAFail(initialized.error);
  }
  return scanner;
}

VxNAResult<> CVxAVScannerKernel::prepareObjectScanners(PassTypes types) {
  std::lock_guard guard(kernelMutex_);
  for (const auto& thread : scanThreads_) {
    if (thread == nullptr) continue;
    auto scanner = createObjectScanner(types);
    if (!scanner) return VxNAFail(scanner.error);
    // The pass's objects report through the view of the running activity.
    if (auto set = thread->setObjectScanner(scanner.value, activityView_); !set) return set;
  }
  return VxNASuccess();
}

void CVxAVScannerKernel::resetPassCounters() {
  queuedCount_ = 0;
  doneCount_ = 0;
  doneSize_ = 0;
  allQueued_ = false;
  expansionError_ = 0;
  queuedNames_.clear();
}

VxNAResult<> CVxAVScannerKernel::queueNamedObjects(const std::vector<std::wstring>& names) {
  std::vector<std::shared_ptr<CVxAVScanObject>> objects;
  try {
    objects.reserve(names.size());
    for (const auto& name : names) objects.push_back(std::make_shared<CVxAVScanObject>(VX_SCAN_OBJECT_FILE, name));
    // One lock for all: the expansion that queues them takes the lock per object
    // again, and the scan threads take it per object they finish.
    std::lock_guard guard(kernelMutex_);
    for (std::size_t i = 0; i < names.size(); ++i) {
      const auto admitted = admittedObjects_.find(names[i]);
      if (admitted == admittedObjects_.end()) continue;
      if (!admitted->second.contentPath.empty()) objects[i]->setContentPath(admitted->second.contentPath);
      objects[i]->setIdentity(admitted->second.identity);
    }
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  }
  for (auto& object : objects) {
    if (OnScanSource(std::move(object))) break;
  }
  std::lock_guard guard(kernelMutex_);
  if (expansionError_ != 0) return VxNAFail(expansionError_);
  return VxNASuccess();
}

VxNAResult<> CVxAVScannerKernel::doProfileScan(bool cleanAfterwards) {
  VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::doProfileScan")
      << L"CVxAVScannerKernel::doProfileScan - Starting";
  std::shared_ptr<IVxAVScannerXMLConfig> config;
  {
    std::lock_guard guard(kernelMutex_);
    if (auto prepared = prepareObjectScanners(PassTypes::None); !prepared) return prepared;
    if (config_ == nullptr) return VxNAFail(ERROR_INVALID_DATA);
    config = config_;
    resetPassCounters();
    admittedObjects_.clear();
    objectsNotQueued_ = 0;
    sourcesNotListed_ = 0;
    profileMode_ = true;
    cleanAfterProfile_ = cleanAfterwards;
  }
  auto view = sourceView();
  if (view == nullptr) return VxNAFail(ERROR_INVALID_DATA);
  VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::doProfileScan")
      << L"CVxAVScannerKernel::doProfileScan - Starting unwrap objects";
  if (auto unwrapped = config->UnwrapScanSources(view); !unwrapped) {
    if (unwrapped.error != ERROR_CONTINUE) return unwrapped;
    VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::doProfileScan")
        << L"CVxAVScannerKernel::doProfileScan - UnwrapScanSources interrupted";
  }
  {
    std::lock_guard guard(kernelMutex_);
    if (expansionError_ != 0) return VxNAFail(expansionError_);
  }
  {
    // Finishing the expansion and testing for completion form one step, so that
    // the pass completes exactly once whichever of this thread and the scan
    // threads gets there last.
    std::lock_guard guard(kernelMutex_);
    allQueued_ = true;
    resetResultsOnCollect_ = true;
    VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::doProfileScan")
        << L"CVxAVScannerKernel::doProfileScan - Unwrap objects complete. Objects unwrapped: "
        << queuedCount_;
    if (sourcesNotListed_ != 0) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::doProfileScan")
          << L"CVxAVScannerKernel::doProfileScan - processes whose modules could not be listed: "
          << sourcesNotListed_;
    }
    if (objectsNotQueued_ != 0) {
      VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::doProfileScan")
          << L"CVxAVScannerKernel::doProfileScan - objects past the max scan count, not queued: "
          << objectsNotQueued_;
    }
    checkForCompletion();
  }
  VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::doProfileScan")
      << L"CVxAVScannerKernel::doProfileScan - Profile Scan trigger complete";
  return VxNASuccess();
}

VxNAResult<> CVxAVScannerKernel::doScanOnly() { return scanPass(/*clean=*/false, /*logged=*/true); }

VxNAResult<> CVxAVScannerKernel::doScanAndClean() {
  return scanPass(/*clean=*/true, /*logged=*/false);
}

VxNAResult<> CVxAVScannerKernel::scanPass(bool clean, bool logged) {
  const auto log = [logged](const wchar_t* text, auto... count) {
    if (logged) ((VX_LOG(VX_LOG_NORMAL, L"CVxAVScannerKernel::doScanOnly") << text) << ... << count);
  };
  log(L"CVxAVScannerKernel::doScanOnly - Starting");
  std::vector<std::wstring> names;
  {
    std::lock_guard guard(kernelMutex_);
    const auto prepared = prepareObjectScanners(clean ? PassTypes::ScanAndClean : PassTypes::Scan);
    if (!prepared) return prepared;
    resetPassCounters();
    if (mergedResults_.empty() || scanQueue_ == nullptr) return VxNAFail(ERROR_INVALID_DATA);
    for (const auto& [name, record] : mergedResults_) {
      if (!name.empty() && record != nullptr) names.push_back(name);
    }
  }
  log(L"CVxAVScannerKernel::doScanOnly - Starting objects unwrap");
  if (auto queued = queueNamedObjects(names); !queued) return queued;
  {
    std::lock_guard guard(kernelMutex_);
    allQueued_ = true;
    resetResultsOnCollect_ = true;
    log(L"CVxAVScannerKernel::doScanOnly - Objects unwrap complete, count = ", queuedCount_);
    checkForCompletion();
  }
  log(L"CVxAVScannerKernel::doScanOnly - Scan only operation triggered successfully");
  return VxNASuccess();
}

VxNAResult<> CVxAVScannerKernel::doClean() {
  std::vector<std::wstring> infected;
  {
    std::lock_guard guard(kernelMutex_);
    if (auto prepared = prepareObjectScanners(PassTypes::ScanAndClean); !prepared) return prepared;
    resetPassCounters();
    totalSize_ = 0;
    if (scanQueue_ == nullptr) return VxNAFail(ERROR_INVALID_DATA);
    resetResultsOnCollect_ = false;
    for (const auto& [name, record] : mergedResults_) {
      if (name.empty() || record == nullptr || !record->IsInfected) continue;
      infected.push_back(name);
      totalSize_ += record->itemSize;
    }
  }
  if (infected.empty()) {
    // Nothing to clean: the activity ends at once.
    reportComplete(currentActivity(), AV_OPERATION_RESULT_COMPLETED);
    return VxNASuccess();
  }
  if (auto queued = queueNamedObjects(infected); !queued) return queued;
  std::lock_guard guard(kernelMutex_);
  allQueued_ = true;
  checkForCompletion();
  return VxNASuccess();
}

VxNAResult<> CVxAVScannerKernel::doCleanObject(const std::wstring& path) {
  if (path.empty()) return VxNAFail(ERROR_INVALID_PARAMETER);
  {
    std::lock_guard guard(kernelMutex_);
    if (auto prepared = prepareObjectScanners(PassTypes::ScanAndClean); !prepared) return prepared;
    resetPassCounters();
    totalSize_ = 0;
    if (scanQueue_ == nullptr) return VxNAFail(ERROR_INVALID_DATA);
  }
  if (auto queued = queueNamedObjects({path}); !queued) return queued;
  std::lock_guard guard(kernelMutex_);
  allQueued_ = true;
  resetResultsOnCollect_ = false;
  checkForCompletion();
  return VxNASuccess();
}

VxNAResult<> CVxAVScannerKernel::cancelActivity() {
  std::shared_ptr<VxNASharedEventQueue> queue;
  std::vector<std::shared_ptr<CVxAVScanThread>> threads;
  std::shared_ptr<IVxAVScanner_Callback> view;
  {
    std::lock_guard guard(kernelMutex_);
    queue = scanQueue_;
    threads = scanThreads_;
    view = activityView_;
  }
  // Pending objects go; a stop signal that a teardown may have given the workers
  // meanwhile stays.
  if (queue != nullptr) queue->dropPending();
  // Each worker acknowledges once, to this activity's view.
  for (const auto& thread : threads) {
    if (auto cancelled = thread->cancelScan(view); !cancelled) return cancelled;
  }
  return VxNASuccess();
}

VxNAResult<> CVxAVScannerKernel::getResults(bool reset) {
  std::lock_guard guard(kernelMutex_);
  if (reset) mergedResults_.clear();
  totalSize_ = 0;
  std::vector<std::shared_ptr<VxScanObjectResultMap>> threadRecords;
  std::size_t count = mergedResults_.size();
  for (const auto& thread : scanThreads_) {
    auto scanner = thread->getObjectScanner();
    if (!scanner) continue;
    auto records = scanner.value->getResults();
    if (!records || records.value == nullptr) continue;
    count += records.value->size();
    threadRecords.push_back(std::move(records.value));
  }
  mergedResults_.reserve(count);
  for (const auto& records : threadRecords) {
    for (const auto& [name, record] : *records) {
      if (name.empty() || record == nullptr) continue;
      mergedResults_[VxNATypeConversion::ansiBufferToWideString(name)] = record;
      totalSize_ += record->itemSize;
    }
  }
  return VxNASuccess();
}
