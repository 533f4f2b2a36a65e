#include "tests/support/KernelDoubles.h"

#include <algorithm>
#include <array>
#include <new>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxAVScanObject.h"

namespace vxtest {

// ---------------------------------------------------------------------------
// ScanScript

void ScanScript::set(const std::wstring& name, ObjectBehaviour behaviour) {
  std::lock_guard guard(lock_);
  objects_[name] = behaviour;
}

void ScanScript::setDefault(ObjectBehaviour behaviour) {
  std::lock_guard guard(lock_);
  default_ = behaviour;
}

ObjectBehaviour ScanScript::behaviourOf(const std::wstring& name) {
  std::lock_guard guard(lock_);
  const auto found = objects_.find(name);
  return found != objects_.end() ? found->second : default_;
}

void ScanScript::release() { released_.set(); }

void ScanScript::scanStarted(const std::wstring& name) {
  std::lock_guard guard(lock_);
  ++inFlight_;
  scanned_.push_back(name);
  changed_.notify_all();
}

void ScanScript::scanEnded() {
  std::lock_guard guard(lock_);
  --inFlight_;
  changed_.notify_all();
}

void ScanScript::blockStarted() {
  std::lock_guard guard(lock_);
  ++blocked_;
  changed_.notify_all();
}

void ScanScript::blockEnded() {
  std::lock_guard guard(lock_);
  --blocked_;
  changed_.notify_all();
}

bool ScanScript::waitBlocked(std::size_t count) {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, kDeadline, [&] { return blocked_ >= count; });
}

bool ScanScript::waitInFlight(std::size_t count) {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, kDeadline, [&] { return inFlight_ >= count; });
}

void ScanScript::sawObject(ScannedObject object) {
  std::lock_guard guard(lock_);
  objects_seen_.push_back(std::move(object));
}

std::vector<ScanScript::ScannedObject> ScanScript::scannedObjects() {
  std::lock_guard guard(lock_);
  return objects_seen_;
}

std::vector<std::wstring> ScanScript::scannedNames() {
  std::lock_guard guard(lock_);
  return scanned_;
}

std::size_t ScanScript::scansOf(const std::wstring& name) {
  std::lock_guard guard(lock_);
  return static_cast<std::size_t>(std::count(scanned_.begin(), scanned_.end(), name));
}

// ---------------------------------------------------------------------------
// FakeXMLConfig

void ConfigScript::setSources(std::vector<std::wstring> names) {
  std::lock_guard guard(lock);
  sources = std::move(names);
}

void ConfigScript::holdNextExpansion() {
  std::lock_guard guard(lock);
  hold_ = std::make_shared<platform::Event>(platform::Event::ResetPolicy::Manual,
                                            platform::Event::InitialState::NotSignaled);
  holdExpansion = hold_;
  expansionHeld.reset();
}

void ConfigScript::releaseExpansion() {
  std::lock_guard guard(lock);
  holdExpansion.reset();
  if (hold_ != nullptr) hold_->set();
}

VxNAResult<> FakeXMLConfig::setConfiguration(const std::wstring& /*text*/) {
  std::lock_guard guard(script_->lock);
  if (script_->setConfigurationError != 0) return VxNAFail(script_->setConfigurationError);
  return VxNASuccess();
}

VxNAResult<std::uint32_t> FakeXMLConfig::getMaxScanCount() {
  std::lock_guard guard(script_->lock);
  return script_->maxScanCount;
}

VxNAResult<> FakeXMLConfig::getScanTypes(std::set<std::uint32_t>& types) {
  std::lock_guard guard(script_->lock);
  types = script_->scanTypes;
  return VxNASuccess();
}

VxNAResult<> FakeXMLConfig::getCleanTypes(std::set<std::uint32_t>& types) {
  std::lock_guard guard(script_->lock);
  types = script_->cleanTypes;
  return VxNASuccess();
}

VxNAResult<> FakeXMLConfig::UnwrapScanSources(
    std::shared_ptr<IVxAVScannerXMLConfig_Callback> callback) {
  std::vector<std::wstring> sources;
  std::vector<VxScanObjectIdentity> identities;
  int unlisted = 0;
  std::shared_ptr<platform::Event> hold;
  {
    std::lock_guard guard(script_->lock);
    if (script_->expansionOutOfMemory) throw std::bad_alloc();
    sources = script_->sources;
    identities = script_->identities;
    unlisted = script_->unlistedSources;
    hold = script_->holdExpansion;
  }
  for (int i = 0; i < unlisted; ++i) callback->OnUnlistedSource();
  VxNAResult<> result;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    auto object = std::make_shared<CVxAVScanObject>(VX_SCAN_OBJECT_FILE, sources[i]);
    if (i < identities.size()) object->setIdentity(identities[i]);
    if (callback->OnScanSource(std::move(object))) {
      result = VxNAFail(ERROR_CONTINUE);
      break;
    }
  }
  if (hold != nullptr) {
    script_->expansionHeld.set();
    hold->wait();
  }
  return result;
}

// ---------------------------------------------------------------------------
// FakeObjectScanner

VxNAResult<> FakeObjectScanner::setEngine(std::shared_ptr<IVxAVEngine> engine) {
  std::lock_guard guard(lock_);
  if (initialized_) return VxNAFail(VX_E_ALREADY_INITIALIZED);
  engine_ = std::move(engine);
  return VxNASuccess();
}

VxNAResult<> FakeObjectScanner::setScanTypes(const std::set<std::uint16_t>& types) {
  std::lock_guard guard(lock_);
  if (initialized_) return VxNAFail(VX_E_ALREADY_INITIALIZED);
  scanTypes_.insert(types.begin(), types.end());
  return VxNASuccess();
}

VxNAResult<> FakeObjectScanner::setCleanTypes(const std::set<std::uint16_t>& types) {
  std::lock_guard guard(lock_);
  if (initialized_) return VxNAFail(VX_E_ALREADY_INITIALIZED);
  cleanTypes_.insert(types.begin(), types.end());
  return VxNASuccess();
}

VxNAResult<> FakeObjectScanner::initialize() {
  std::lock_guard guard(lock_);
  if (initialized_) return VxNAFail(VX_E_ALREADY_INITIALIZED);
  if (engine_ == nullptr) return VxNAFail(VX_E_NOT_INITIALIZED);
  initialized_ = true;
  return VxNASuccess();
}

VxNAResult<> FakeObjectScanner::reserved() { return VxNAFail(VX_E_NOT_SUPPORTED); }

VxNAResult<> FakeObjectScanner::scanObject(std::shared_ptr<CVxAVScanObject> object) {
  const std::wstring name = object->getPath();
  const ObjectBehaviour behaviour = script_->behaviourOf(name);
  script_->scanStarted(name);
  script_->sawObject({name, object->getContentPath(), object->getIdentity().inode});
  struct EndScan {
    ScanScript& script;
    ~EndScan() { script.scanEnded(); }
  } endScan{*script_};

  if (behaviour.outOfMemory) throw std::bad_alloc();
  bool scanning = false;
  {
    std::lock_guard guard(lock_);
    scanning = !scanTypes_.empty();
  }
  if (behaviour.block || (behaviour.blockWhenScanning && scanning)) {
    script_->blockStarted();
    if (script_->cancelReleasesBlockedScan) {
      const std::array<platform::Event*, 2> wake{&script_->releaseEvent(), &cancelEvent_};
      platform::Event::waitAny(wake);
    } else {
      script_->releaseEvent().wait();
    }
    script_->blockEnded();
  }
  std::lock_guard guard(lock_);
  if (cancel_ && !behaviour.ignoreCancel) return VxNAFail(VX_E_SCAN_CANCELLED);
  if (behaviour.fail != 0) return VxNAFail(behaviour.fail);
  if (!behaviour.recorded) return VxNASuccess();
  auto record = std::make_shared<CVxScanObjectResult>();
  record->itemName = object->getResultKey();
  record->itemSize = behaviour.size;
  record->IsScanned = scanning ? 1 : 0;
  record->IsInfected = scanning && behaviour.infected ? 1 : 0;
  record->IsRepaired = record->IsInfected && !cleanTypes_.empty() && behaviour.repaired ? 1 : 0;
  (*results_)[record->itemName] = record;
  return VxNASuccess();
}

VxNAResult<> FakeObjectScanner::cancel() {
  {
    std::lock_guard guard(lock_);
    if (!initialized_) return VxNAFail(VX_E_NOT_INITIALIZED);
    if (cancel_) return VxNAFail(VX_E_SCAN_CANCELLED);
    cancel_ = true;
  }
  cancelEvent_.set();
  return VxNASuccess();
}

VxNAResult<std::shared_ptr<VxScanObjectResultMap>> FakeObjectScanner::getResults() {
  std::lock_guard guard(lock_);
  if (!initialized_) return VxNAFail(VX_E_NOT_INITIALIZED);
  return results_;
}

VxNAResult<std::shared_ptr<CVxScanObjectResult>> FakeObjectScanner::getResult(
    const std::string& name) {
  std::lock_guard guard(lock_);
  const auto found = results_->find(name);
  if (found == results_->end()) return VxNAFail(ERROR_FILE_NOT_FOUND);
  return found->second;
}

// ---------------------------------------------------------------------------
// FakeReport, FakeVersionInfo

VxNAResult<> FakeReport::setResults(const VxScanObjectResultSet& results) {
  results_ = results;
  return VxNASuccess();
}

VxNAResult<> FakeReport::getXML(std::wstring& xml, bool complete) {
  std::map<std::string, std::shared_ptr<CVxScanObjectResult>> byName;
  for (const auto& record : results_) byName[record->itemName] = record;
  xml = L"report";
  if (notQueued_ != 0) xml += L"(not queued " + std::to_wstring(notQueued_) + L")";
  if (notListed_ != 0) xml += L"(not listed " + std::to_wstring(notListed_) + L")";
  xml += L":";
  for (const auto& [name, record] : byName) {
    if (!complete && !record->IsInfected) continue;
    xml += std::wstring(name.begin(), name.end()) + L":" + std::to_wstring(record->IsInfected) +
           L":" + std::to_wstring(record->IsRepaired) + L";";
  }
  return VxNASuccess();
}

VxNAResult<> FakeVersionInfo::getComponentVersion(std::wstring& version) {
  version = L"1.2.3.4";
  return VxNASuccess();
}

VxNAResult<> FakeVersionInfo::getEngineVersion(std::wstring& version) {
  version = L"5.600";
  return VxNASuccess();
}

VxNAResult<> FakeVersionInfo::getDataSetVersion(std::wstring& version) {
  version = L"0.0";
  return VxNASuccess();
}

// ---------------------------------------------------------------------------
// RecordingCallback

void RecordingCallback::holdProgressOf(const std::wstring& name) {
  std::lock_guard guard(lock_);
  heldName_ = name;
}

void RecordingCallback::progress(const std::wstring& name, std::uint32_t status,
                                 std::uint32_t percent) {
  if (progressOutOfMemory) throw std::bad_alloc();
  bool hold = false;
  {
    std::lock_guard guard(lock_);
    hold = !heldName_.empty() && name == heldName_;
  }
  if (hold) {
    progressHeld_.set();
    progressReleased_.wait();
  }
  std::lock_guard guard(lock_);
  progress_.push_back({name, status, percent});
  changed_.notify_all();
}

void RecordingCallback::onError(std::uint32_t error) {
  std::lock_guard guard(lock_);
  terminals_.push_back({true, error});
  progressCountAtTerminal_.push_back(progress_.size());
  changed_.notify_all();
}

void RecordingCallback::onComplete(std::uint32_t result) {
  std::lock_guard guard(lock_);
  terminals_.push_back({false, result});
  progressCountAtTerminal_.push_back(progress_.size());
  changed_.notify_all();
}

bool RecordingCallback::waitTerminals(std::size_t count) {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, kDeadline, [&] { return terminals_.size() >= count; });
}

bool RecordingCallback::waitProgress(std::size_t count) {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, kDeadline, [&] { return progress_.size() >= count; });
}

std::vector<RecordingCallback::Progress> RecordingCallback::progressCalls() {
  std::lock_guard guard(lock_);
  return progress_;
}

std::vector<RecordingCallback::Terminal> RecordingCallback::terminals() {
  std::lock_guard guard(lock_);
  return terminals_;
}

std::size_t RecordingCallback::progressAfterTerminal(std::size_t n) {
  std::lock_guard guard(lock_);
  if (n >= progressCountAtTerminal_.size()) return 0;
  return progress_.size() - progressCountAtTerminal_[n];
}

void RecordingCallback::clear() {
  std::lock_guard guard(lock_);
  progress_.clear();
  terminals_.clear();
  progressCountAtTerminal_.clear();
}

// ---------------------------------------------------------------------------
// KernelDoubles

CVxAVScannerKernelFactories KernelDoubles::factories() {
  CVxAVScannerKernelFactories f;
  f.getAVEngine = [this]() -> VxNAResult<std::shared_ptr<IVxAVEngine>> {
    if (outOfMemoryAt == OutOfMemoryAt::Engine) throw std::bad_alloc();
    if (engineError != 0) return VxNAFail(engineError);
    return std::shared_ptr<IVxAVEngine>(std::make_shared<FakeEngine>());
  };
  f.createXMLConfig = [script = config]() -> VxNAResult<std::shared_ptr<IVxAVScannerXMLConfig>> {
    return std::shared_ptr<IVxAVScannerXMLConfig>(std::make_shared<FakeXMLConfig>(script));
  };
  f.createObjectScanner = [this, script = scan]() -> VxNAResult<std::shared_ptr<IVxAVObjectScanner>> {
    if (outOfMemoryAt == OutOfMemoryAt::ObjectScanner) throw std::bad_alloc();
    return std::shared_ptr<IVxAVObjectScanner>(std::make_shared<FakeObjectScanner>(script));
  };
  f.getAVScannerVersionInfo = [this]() -> VxNAResult<std::shared_ptr<IVxAVScannerVersionInfo>> {
    if (outOfMemoryAt == OutOfMemoryAt::VersionInfo) throw std::bad_alloc();
    if (versionError != 0) return VxNAFail(versionError);
    ++*versionObjectsCreated;
    return std::shared_ptr<IVxAVScannerVersionInfo>(std::make_shared<FakeVersionInfo>());
  };
  f.createScanResultXML = [this]() -> VxNAResult<std::shared_ptr<IVxAVScanResultXML>> {
    if (outOfMemoryAt == OutOfMemoryAt::Report) throw std::bad_alloc();
    return std::shared_ptr<IVxAVScanResultXML>(std::make_shared<FakeReport>());
  };
  return f;
}

}  // namespace vxtest
