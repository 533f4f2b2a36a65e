#include "engine/VxAVObjectScanner.h"

#include <cstring>
#include <new>

#include "engine/VxAVEngineLibrary.h"
#include "engine/VxAVEngineStatus.h"
#include "engine/VxAVScannerIni.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "foundation/VxNATypeConversion.h"
#include "foundation/VxAVScanObject.h"

namespace {

constexpr wchar_t kLogSource[] = L"VxAVObjectScanner";
constexpr wchar_t kBuildFunction[] = L"CVxAVObjectScanner::buildDefaultParameterList";
constexpr wchar_t kCallbackFunction[] = L"CVxAVObjectScanner::Callback";

// Kinds of scan object the scanner accepts.
constexpr std::uint32_t kFileObject = 0;
constexpr std::uint32_t kMemoryObject = 1;
// Descriptor words that go with each kind.
constexpr std::uint16_t kFileKindWord = 1;
constexpr std::uint16_t kMemoryKindWord = 6;

// A repair error that says no repair was tried.
constexpr std::uint16_t kRepairNotAttempted = 12;
// Actions that leave the object repaired.
constexpr std::uint16_t kActionRepaired = 2;
constexpr std::uint16_t kActionRepairedToo = 4;

using Guard = platform::RecursiveLock;

// A NUL-terminated engine text, read no further than the first NUL or the limit,
// so that an unterminated buffer is never run through to its end.
std::string engineText(const char* text) {
  if (text == nullptr) return std::string();
  return std::string(text, strnlen(text, CVxAVObjectScanner::kLongestEngineText));
}

// Only the letters A-Z are lowered, as the engine's names are compared.
std::wstring lowerAsciiLetters(std::wstring text) {
  for (wchar_t& c : text) {
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return text;
}

std::string lowerHex(const std::uint8_t* bytes, std::uint32_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(std::size_t{count} * 2);
  for (std::uint32_t i = 0; i < count; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

template <class T>
const T* engineRecord(std::uintptr_t argument) {
  return reinterpret_cast<const T*>(argument);
}

}  // namespace

std::shared_ptr<CVxAVObjectScanner> CVxAVObjectScanner::create() { return make(std::nullopt); }

std::shared_ptr<CVxAVObjectScanner> CVxAVObjectScanner::create(const std::string& hostFolder) {
  return make(hostFolder);
}

std::shared_ptr<CVxAVObjectScanner> CVxAVObjectScanner::make(
    std::optional<std::string> hostFolder) {
  std::shared_ptr<CVxAVObjectScanner> scanner;
  try {
    scanner = std::make_shared<CVxAVObjectScanner>(ConstructionKey{}, std::move(hostFolder));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  scanner->self_ = scanner;
  return scanner;
}

CVxAVObjectScanner::CVxAVObjectScanner(ConstructionKey, std::optional<std::string> hostFolder)
    : hostFolder_(std::move(hostFolder)) {
  parameterBlock_.size = sizeof(AV_PARAMETERS);
  parameterBlock_.parameters = AV_PTR_TO_U64(parameters_.data());
  descriptor_.size = sizeof(AV_OBJECTDESCRIPTOR);
}

// ---------------------------------------------------------------------------
// Configuration

VxNAResult<> CVxAVObjectScanner::setEngine(std::shared_ptr<IVxAVEngine> engine) {
  Guard guard(lock_);
  if (initialized_) return VxNAFail(VX_E_ALREADY_INITIALIZED);
  engine_ = std::move(engine);
  return VxNASuccess();
}

VxNAResult<> CVxAVObjectScanner::setScanTypes(const std::set<std::uint16_t>& types) {
  Guard guard(lock_);
  if (initialized_) return VxNAFail(VX_E_ALREADY_INITIALIZED);
  scanTypes_.insert(types.begin(), types.end());
  return VxNASuccess();
}

VxNAResult<> CVxAVObjectScanner::setCleanTypes(const std::set<std::uint16_t>& types) {
  Guard guard(lock_);
  if (initialized_) return VxNAFail(VX_E_ALREADY_INITIALIZED);
  cleanTypes_.insert(types.begin(), types.end());
  return VxNASuccess();
}

VxNAResult<> CVxAVObjectScanner::initialize() {
  Guard guard(lock_);
  if (initialized_) return VxNAFail(VX_E_ALREADY_INITIALIZED);
  if (engine_ == nullptr) return VxNAFail(VX_E_NOT_INITIALIZED);
  initialized_ = true;
  buildDefaultParameterList();
  return VxNASuccess();
}

VxNAResult<> CVxAVObjectScanner::reserved() { return VxNAFail(VX_E_NOT_SUPPORTED); }

VxNAResult<> CVxAVObjectScanner::setCollectHash(bool collect) {
  // Taken after initialize too, but the parameter list is already built by then.
  Guard guard(lock_);
  collectHash_ = collect;
  return VxNASuccess();
}

VxNAResult<std::set<std::uint32_t>> CVxAVObjectScanner::getContextIDs() const {
  std::string folder;
  if (hostFolder_) {
    if (hostFolder_->empty()) return VxNAFail(ERROR_FUNCTION_FAILED);
    folder = *hostFolder_;
  } else {
    VxNAResult<std::string> found = findHostFolder();
    if (!found) return VxNAFail(found.error);
    folder = std::move(found.value);
  }
  const std::optional<std::wstring> value =
      readAVScannerIniValue(folder, L"product", L"context_ids");
  if (!value) return VxNAFail(ERROR_INVALID_DATA);

  std::set<std::uint32_t> ids;
  std::size_t start = 0;
  while (start <= value->size()) {
    std::size_t end = value->find(L',', start);
    if (end == std::wstring::npos) end = value->size();
    if (end > start) {
      ids.insert(static_cast<std::uint32_t>(parseSignedDecimal(value->substr(start, end - start))));
    }
    start = end + 1;
  }
  return ids;
}

void CVxAVObjectScanner::appendParameter(std::uint16_t code, std::uint32_t length,
                                         std::uint64_t value) {
  if (parameterBlock_.count >= parameters_.size()) return;
  parameters_[parameterBlock_.count++] =
      AV_SINGLEPARAMETER{sizeof(AV_SINGLEPARAMETER), code, length, value};
}

void CVxAVObjectScanner::buildDefaultParameterList() {
  parameterBlock_.size = sizeof(AV_PARAMETERS);
  parameterBlock_.count = 0;
  parameterBlock_.parameters = AV_PTR_TO_U64(parameters_.data());
  descriptor_ = AV_OBJECTDESCRIPTOR{};
  descriptor_.size = sizeof(AV_OBJECTDESCRIPTOR);

  std::set<std::uint32_t> ids;
  if (VxNAResult<std::set<std::uint32_t>> read = getContextIDs(); read) {
    ids = std::move(read.value);
  } else {
    VX_LOG(VX_LOG_WARNING, kBuildFunction)
        << L"CVxAVObjectScanner::buildDefaultParameterList - getContextIDs failed with error "
        << read.error;
  }
  contextIds_.assign(ids.begin(), ids.end());
  if (contextIds_.empty()) {
    VX_LOG(VX_LOG_WARNING, kBuildFunction)
        << L"CVxAVObjectScanner::buildDefaultParameterList - No context IDs found";
    contextIdBlock_ = AV_CONTEXTIDS{};
  } else {
    contextIdBlock_.count = contextIds_.size();
    contextIdBlock_.ids = AV_PTR_TO_U64(contextIds_.data());
    descriptor_.contextIds = AV_PTR_TO_U64(&contextIdBlock_);
  }

  appendParameter(AV_PARAM_CALLBACK, 8, AV_PTR_TO_U64(&CVxAVObjectScanner::Callback));
  appendParameter(AV_PARAM_CALLBACK_CONTEXT, 8, AV_PTR_TO_U64(this));
  appendParameter(AV_PARAM_SCAN_OBJECT, sizeof(AV_OBJECTDESCRIPTOR), AV_PTR_TO_U64(&descriptor_));
  for (const std::uint16_t code : {AV_PARAM_SWITCH_502, AV_PARAM_SWITCH_560, AV_PARAM_SWITCH_300,
                                   AV_PARAM_SWITCH_400, AV_PARAM_SWITCH_401, AV_PARAM_SWITCH_404}) {
    appendParameter(code, 0, 0);
  }
  if (collectHash_) appendParameter(AV_PARAM_COLLECT_HASH, 0, 0);
  fixedParameterCount_ = parameterBlock_.count;
}

// ---------------------------------------------------------------------------
// Scanning

VxNAResult<> CVxAVObjectScanner::scanObject(std::shared_ptr<CVxAVScanObject> object) {
  if (object == nullptr) return VxNAFail(ERROR_INVALID_PARAMETER);
  {
    Guard guard(lock_);
    if (!initialized_) return VxNAFail(VX_E_NOT_INITIALIZED);
    if (cancelled_) return VxNAFail(VX_E_SCAN_CANCELLED);
    currentObject_ = object;
  }
  const VxNAResult<> described = describeObject(*object);
  if (!described) return described;
  return callEngine();
}

VxNAResult<> CVxAVObjectScanner::describeObject(const CVxAVScanObject& object) {
  const std::uint32_t type = object.getObjectType();
  if (type == kFileObject) {
    // The record's name is the very key the scan threads look the result up with.
    // The engine opens the content path: the same path, or for a process module
    // read through the kernel's handle, that handle, which the engine then names
    // as the object and which is still this record.
    std::string path = object.getResultKey();
    std::string content = object.getNarrowContentPath();
    VxScanObjectIdentity identity = object.getIdentity();
    Guard guard(lock_);
    currentPath_ = std::move(path);
    currentKey_ = currentPath_;
    currentContent_ = std::move(content);
    currentIdentity_ = std::move(identity);
    currentRecord_ = newRecord(currentPath_);
    descriptor_.kind = AV_OBJECT_KIND_FILE;
    descriptor_.kindWord = kFileKindWord;
    descriptor_.path = AV_PTR_TO_U64(currentContent_.c_str());
    descriptor_.pathLength = static_cast<std::uint32_t>(currentContent_.size() + 1);
    describeIdentity();
    return VxNASuccess();
  }
  if (type == kMemoryObject) {
    Guard guard(lock_);
    // The previous object's record is finished (and may already be with the
    // kernel); messages about this object must not land in it. The engine names
    // what it scans through AVM_OBJECT_NAME, which makes the record.
    currentRecord_.reset();
    currentPath_.clear();
    currentKey_.clear();
    currentContent_.clear();
    currentIdentity_ = {};
    parameterBlock_.count = fixedParameterCount_;
    descriptor_.kind = AV_OBJECT_KIND_MEMORY;
    descriptor_.kindWord = kMemoryKindWord;
    descriptor_.path = 0;
    descriptor_.pathLength = 0;
    return VxNASuccess();
  }
  return VxNAFail(VX_E_TYPE_NOT_RECOGNIZED);
}

void CVxAVObjectScanner::describeIdentity() {
  parameterBlock_.count = fixedParameterCount_;
  if (!currentIdentity_.known()) return;
  identity_ = AV_OBJECTIDENTITY{};
  identity_.size = sizeof(AV_OBJECTIDENTITY);
  identity_.deviceMajor = currentIdentity_.deviceMajor;
  identity_.deviceMinor = currentIdentity_.deviceMinor;
  identity_.inode = currentIdentity_.inode;
  if (currentIdentity_.kernelHandle != nullptr && !currentIdentity_.kernelHandle->empty()) {
    identity_.fallbackPath = AV_PTR_TO_U64(currentIdentity_.kernelHandle->c_str());
  }
  identity_.reportName = AV_PTR_TO_U64(currentPath_.c_str());
  appendParameter(AV_PARAM_OBJECT_IDENTITY, sizeof(AV_OBJECTIDENTITY), AV_PTR_TO_U64(&identity_));
}

VxNAResult<> CVxAVObjectScanner::callEngine() {
  std::shared_ptr<IVxAVEngine> engine;
  {
    Guard guard(lock_);
    engine = engine_;
  }
  if (engine == nullptr) return VxNAFail(VX_E_NOT_INITIALIZED);
  const VxNAResult<VxAVEngineHandle> handle = engine->getHandle();
  if (!handle) return VxNAFail(handle.error);
  if (handle.value == 0) return VxNAFail(ERROR_INVALID_DATA);
  const VxNAResult<AV_SCANOBJECT_FN> scan = scanEntryPoint();
  if (!scan) return VxNAFail(scan.error);

  // The engine calls back into this object until AVScanObject returns.
  const std::shared_ptr<CVxAVObjectScanner> keepAlive = self_.lock();
  const std::uint16_t status = scan.value(handle.value, &parameterBlock_, 0);

  // A cancelled scan ends as cancelled whatever the engine made of the declined
  // query, so that the scan thread acknowledges it instead of reporting a failure.
  {
    Guard guard(lock_);
    if (cancelled_) return VxNAFail(VX_E_SCAN_CANCELLED);
  }
  if (status != AV_STATUS_OK) return VxNAFail(mapEngineStatus(status));
  return VxNASuccess();
}

VxNAResult<AV_SCANOBJECT_FN> CVxAVObjectScanner::scanEntryPoint() {
  Guard guard(lock_);
  // The process binds one engine library for good: looked up once per scanner,
  // not under the process's binding lock for every object of four scan threads.
  if (!entryPoints_) {
    VxNAResult<VxAVEngineEntryPoints> found = CVxAVEngineLibrary::entryPoints();
    if (!found) return VxNAFail(found.error);
    entryPoints_ = std::move(found.value);
  }
  return entryPoints_->AVScanObject;
}

VxNAResult<> CVxAVObjectScanner::cancel() {
  Guard guard(lock_);
  if (!initialized_) return VxNAFail(VX_E_NOT_INITIALIZED);
  if (cancelled_) return VxNAFail(VX_E_SCAN_CANCELLED);
  cancelled_ = true;
  return VxNASuccess();
}

VxNAResult<std::shared_ptr<VxScanObjectResultMap>> CVxAVObjectScanner::getResults() {
  Guard guard(lock_);
  if (!initialized_) return VxNAFail(VX_E_NOT_INITIALIZED);
  if (results_ == nullptr) return VxNAFail(ERROR_INVALID_DATA);
  try {
    return std::make_shared<VxScanObjectResultMap>(*results_);
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

VxNAResult<std::shared_ptr<CVxScanObjectResult>> CVxAVObjectScanner::getResult(
    const std::string& name) {
  Guard guard(lock_);
  if (!initialized_) return VxNAFail(VX_E_NOT_INITIALIZED);
  if (results_ == nullptr) return Record();
  const auto found = results_->find(name);
  return found != results_->end() ? found->second : Record();
}

// ---------------------------------------------------------------------------
// The scan callback

std::uint32_t CVxAVObjectScanner::Callback(const AV_CALLBACKCONTEXT* context,
                                           std::uint16_t message, std::uint64_t argument1,
                                           std::uintptr_t argument2) {
  if (context == nullptr || context->value == 0) return AV_CALLBACK_CONTINUE;
  auto* scanner = AV_U64_TO_PTR(CVxAVObjectScanner*, context->value);
  Guard guard(scanner->lock_);
  return scanner->onMessage(message, argument1, argument2);
}

std::uint32_t CVxAVObjectScanner::onMessage(std::uint16_t message, std::uint64_t argument1,
                                            std::uintptr_t argument2) {
  CVxScanObjectResult* record = currentRecord_.get();
  switch (message) {
    case AVM_QUERY_SCAN:
      return onQueryScan();
    case AVM_QUERY_REPAIR:
      return onQueryRepair();
    case AVM_QUERY_CONTINUE:
    case AVM_QUERY_CONTINUE_2:
      if (!cancelled_) return AV_CALLBACK_CONTINUE;
      // The scan of the object stops short of its content.
      markNotScanned();
      return AV_CALLBACK_DECLINE;
    case AVM_PASS:
      if (record != nullptr) ++record->PassCount;
      break;
    case AVM_OBJECT_NAME:
      onObjectName(argument2);
      break;
    case AVM_OBJECT_SIZE:
      if (record != nullptr) record->itemSize = static_cast<std::uint64_t>(argument2);
      break;
    case AVM_SCAN_ERROR:
      if (record != nullptr) record->ScanError = static_cast<std::uint16_t>(argument2);
      // The engine could not read the content.
      if (static_cast<std::uint16_t>(argument2) != 0) markNotScanned();
      break;
    case AVM_DETECTION:
      onDetection(argument2);
      break;
    case AVM_REPAIR_ERROR:
      onRepairError(static_cast<std::uint16_t>(argument2));
      break;
    case AVM_ACTION:
      onAction(argument2);
      break;
    case AVM_OBJECT_DONE:
      onObjectDone();
      break;
    case AVM_OBJECT_TYPE:
      if (record != nullptr) record->itemType = static_cast<std::uint16_t>(argument1);
      break;
    case AVM_OBJECT_SUMMARY:
      if (record != nullptr) record->ObjectSummary = static_cast<std::uint16_t>(argument2);
      break;
    case AVM_FILEHASH:
      onFileHash(argument2);
      break;
    case AVM_OBJECT_REPLACED:
      onObjectReplaced();
      break;
    default:
      break;
  }
  return AV_CALLBACK_CONTINUE;
}

std::uint32_t CVxAVObjectScanner::onQueryScan() {
  if (cancelled_) return AV_CALLBACK_DECLINE;
  // Without scan types nothing the engine finds would be recorded, so the content
  // is not scanned: the record says so.
  if (scanTypes_.empty()) return AV_CALLBACK_DECLINE;
  if (currentRecord_ != nullptr) currentRecord_->IsScanned = 1;
  return AV_CALLBACK_CONTINUE;
}

void CVxAVObjectScanner::markNotScanned() {
  // A detection already made stands: the object was scanned far enough for it.
  if (currentRecord_ != nullptr && currentRecord_->IsInfected == 0) currentRecord_->IsScanned = 0;
}

std::uint32_t CVxAVObjectScanner::onQueryRepair() {
  if (cancelled_) return AV_CALLBACK_DECLINE;
  if (currentRecord_ == nullptr) return AV_CALLBACK_CONTINUE;
  if (cleanTypes_.count(currentRecord_->virus_type) == 0 || currentRecord_->isRepairable == 0) {
    return AV_CALLBACK_DECLINE;
  }
  currentRecord_->IsRepairAttempted = 1;
  return AV_CALLBACK_CONTINUE;
}

void CVxAVObjectScanner::onObjectName(std::uintptr_t argument2) {
  const std::string name = engineText(engineRecord<char>(argument2));
  std::string key;
  if (currentRecord_ != nullptr && (name == currentRecord_->itemName || name == currentContent_)) {
    // The engine names the object it was given, as it nearly always does.
    key = currentRecord_->itemName;
  } else if (currentRecord_ != nullptr) {
    const std::wstring original =
        lowerAsciiLetters(VxNATypeConversion::ansiBufferToWideString(currentRecord_->itemName));
    const std::wstring reported =
        lowerAsciiLetters(VxNATypeConversion::ansiBufferToWideString(name));
    const std::wstring content =
        lowerAsciiLetters(VxNATypeConversion::ansiBufferToWideString(currentContent_));
    if (reported.find(original) != std::wstring::npos ||
        (!currentContent_.empty() && reported.find(content) != std::wstring::npos)) {
      // The object itself or something inside it: the scanned object's record.
      key = currentRecord_->itemName;
    } else {
      VX_LOG(VX_LOG_WARNING, kCallbackFunction)
          << L"CVxAVObjectScanner::Callback - Original file name and file name passed to "
             L"callback different.";
      VX_LOG(VX_LOG_WARNING, kCallbackFunction)
          << L"CVxAVObjectScanner::Callback - Original file name: " << original;
      VX_LOG(VX_LOG_WARNING, kCallbackFunction)
          << L"CVxAVObjectScanner::Callback - Callback file name: " << reported;
      currentRecord_ = newRecord(name);
      key = name;
    }
  } else {
    currentRecord_ = newRecord(name);
    key = name;
  }
  currentKey_ = key;
  if (results_ == nullptr) return;
  const auto stored = results_->find(key);
  if (stored != results_->end() && stored->second != nullptr) {
    currentRecord_ = stored->second;
    // Named afresh: whether it is read through the kernel's handle again is for
    // this scan to tell.
    currentRecord_->itemName = key;
  }
}

void CVxAVObjectScanner::onDetection(std::uintptr_t argument2) {
  const AV_DETECTION* detection = engineRecord<AV_DETECTION>(argument2);
  if (detection == nullptr || currentRecord_ == nullptr) return;
  if (scanTypes_.count(detection->virusType) == 0) return;
  currentRecord_->IsInfected = 1;
  currentRecord_->detect_type = detection->detectType;
  currentRecord_->virus_type = detection->virusType;
  currentRecord_->virus_name = engineText(AV_U64_TO_PTR(const char*, detection->virusName));
  currentRecord_->isRepairable = detection->repairable == 1 ? 1 : 0;
}

void CVxAVObjectScanner::onRepairError(std::uint16_t code) {
  if (currentRecord_ == nullptr) return;
  currentRecord_->ScanError = code;
  if (code != kRepairNotAttempted) currentRecord_->IsRepairAttempted = 1;
}

void CVxAVObjectScanner::onAction(std::uintptr_t argument2) {
  const AV_ACTION* action = engineRecord<AV_ACTION>(argument2);
  if (action == nullptr || currentRecord_ == nullptr) return;
  currentRecord_->action_taken = action->actionTaken;
  currentRecord_->nesting_deleted = action->nestingDeleted;
  if (action->actionTaken == kActionRepaired || action->actionTaken == kActionRepairedToo) {
    currentRecord_->IsRepaired = 1;
  }
}

void CVxAVObjectScanner::onObjectDone() {
  if (currentRecord_ == nullptr) return;
  if (scanTypes_.count(currentRecord_->virus_type) == 0) {
    // What the engine says of a detection outside the scan types is not reported.
    currentRecord_->ObjectSummary = 0;
    currentRecord_->ScanError = 0;
  }
  storeRecord(currentRecord_);
}

void CVxAVObjectScanner::onFileHash(std::uintptr_t argument2) {
  const AV_FILEHASH* hash = engineRecord<AV_FILEHASH>(argument2);
  if (hash == nullptr) {
    VX_LOG(VX_LOG_WARNING, kCallbackFunction)
        << L"CVxAVObjectScanner::Callback - AVM_FILEHASH received, but the _2 is NULL.";
    return;
  }
  std::uint32_t length = hash->dataLength;
  if (hash->bufferSize < hash->dataLength) {
    VX_LOG(VX_LOG_WARNING, kCallbackFunction)
        << L"CVxAVObjectScanner::Callback - data length is more than buffer size.";
    length = hash->bufferSize;
  }
  if (currentRecord_ == nullptr) return;
  const auto* bytes = AV_U64_TO_PTR(const std::uint8_t*, hash->data);
  // No digest is longer than kLongestHash: a larger count, no bytes or no length
  // make a faulty record, not a hash. The type is taken only with its digits, so
  // that no record names a hash kind without a hash.
  if (bytes == nullptr || length == 0 || length > kLongestHash) return;
  currentRecord_->ObjectHashType = hash->hashType;
  currentRecord_->ObjectHash = lowerHex(bytes, length);
}

void CVxAVObjectScanner::onObjectReplaced() {
  // The path names another file now; the engine read the mapped one through the
  // kernel's handle. The record stays under the object's key, which later passes
  // and the scan thread use, and the report names what was scanned.
  if (currentRecord_ == nullptr || !currentIdentity_.known() || currentKey_ != currentRecord_->itemName) return;
  currentRecord_->itemName = currentPath_ + " (replaced) [pid " + std::to_string(currentIdentity_.pid) + ", inode " +
                             std::to_string(currentIdentity_.inode) + "]";
}

void CVxAVObjectScanner::storeRecord(const Record& record) {
  if (record == nullptr || record->itemName.empty()) return;
  if (results_ == nullptr) results_ = std::make_shared<VxScanObjectResultMap>();
  const bool current = record == currentRecord_ && !currentKey_.empty();
  (*results_)[current ? currentKey_ : record->itemName] = record;
}

CVxAVObjectScanner::Record CVxAVObjectScanner::newRecord(const std::string& name) {
  Record record = std::make_shared<CVxScanObjectResult>();
  record->itemName = name;
  return record;
}
