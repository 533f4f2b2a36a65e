#include "qelda/QeldaObjectScan.h"

#include "qelda/QeldaBlockReader.h"
#include "qelda/QeldaCacheTrust.h"
#include "qelda/QeldaCleaner.h"
#include "qelda/QeldaObjectIdentity.h"
#include "qelda/QeldaScanListener.h"
#include "qelda/QeldaVerdictKey.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yara.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qelda {
namespace {

// Generous for the largest file and rule set; it ends evaluation that never would.
constexpr int kScanTimeoutSeconds = 300;

class Reporter {
 public:
  Reporter(AV_CALLBACK callback, const AV_CALLBACKCONTEXT* context)
      : callback_(callback), context_(context) {}
  bool send(std::uint16_t message, std::uint64_t first = 0, std::uintptr_t second = 0) const {
    return callback_ != nullptr &&
           callback_(context_, message, first, second) == AV_CALLBACK_DECLINE;
  }
  void finish(std::uint16_t summary) const {
    send(AVM_OBJECT_SUMMARY, 0, summary);
    send(AVM_OBJECT_DONE);
  }
  void trouble(std::uint16_t error) const {
    send(AVM_SCAN_ERROR, 0, error);
    finish(AV_SUMMARY_ERROR);
  }

 private:
  AV_CALLBACK callback_;
  const AV_CALLBACKCONTEXT* context_;
};

std::uint16_t openError(int error) {
  switch (error) {
    case EINVAL:
    case ENOENT:
    case ENOTDIR: return AV_SCAN_ERROR_NOT_FOUND;
    case EACCES:
    case EPERM: return AV_SCAN_ERROR_ACCESS_DENIED;
    case ELOOP:
    case ENXIO:
    case EISDIR: return AV_SCAN_ERROR_NOT_REGULAR;
    case EFBIG:
    case EOVERFLOW: return AV_SCAN_ERROR_TOO_LARGE;
    // The name led to another file when the content was opened than when the
    // object was looked at.
    case ESTALE: return AV_SCAN_ERROR_CHANGED;
    default: return AV_SCAN_ERROR_READ_FAULT;
  }
}

std::uint16_t yaraError(int result) {
  switch (result) {
    case ERROR_SCAN_TIMEOUT: return AV_SCAN_ERROR_TIMEOUT;
    case ERROR_INSUFFICIENT_MEMORY: return AV_SCAN_ERROR_OUT_OF_MEMORY;
    default: return AV_SCAN_ERROR_READ_FAULT;
  }
}

std::uint16_t cleanError(int error) {
  switch (error) {
    case EACCES:
    case EPERM: return AV_SCAN_ERROR_ACCESS_DENIED;
    case ESTALE: return AV_SCAN_ERROR_CHANGED;
    case ECANCELED: return AV_REPAIR_ERROR_CANCELLED;
    case ENOSPC: return AV_REPAIR_ERROR_DISK_FULL;
    // Another hard link keeps the content: it was not cleaned.
    case EMLINK: return AV_REPAIR_ERROR_STILL_REACHABLE;
    default: return AV_SCAN_ERROR_READ_FAULT;
  }
}

struct ScanRequest {
  const AV_OBJECTDESCRIPTOR* descriptor = nullptr;
  bool collectHash = false;
  AV_CALLBACK callback = nullptr;
  const AV_CALLBACKCONTEXT* context = nullptr;
  std::optional<ObjectIdentity> identity;
};

// The action the host agreed to. Each detection is offered on its own (1045,
// then 1032 when its type can be cleaned), since the host consents to one named
// detection at a time; the strongest action agreed to is the one applied, and an
// action no answer agreed to never is.
struct Consent {
  CleanAction action = CleanAction::None;
  const Detection* detection = nullptr;
  bool anyCleanable = false;
};

int strength(CleanAction action) {
  return action == CleanAction::Delete ? 2 : action == CleanAction::Quarantine ? 1 : 0;
}

// A kernel handle's mapped inode has no name that could be removed: its
// detections are not repairable, though a quarantine still keeps a copy of it.
Consent offerDetections(const Reporter& reporter, const DataSet& dataSet,
                        const std::vector<const Detection*>& detections, bool removable) {
  Consent consent;
  for (const Detection* found : detections) {
    const CleanAction action = dataSet.clean.actionFor(found->virusType);
    AV_DETECTION record{};
    record.detectType = found->detectType;
    record.virusType = found->virusType;
    record.virusName = AV_PTR_TO_U64(found->name.c_str());
    record.repairable = action != CleanAction::None && removable;
    reporter.send(AVM_DETECTION, 0, reinterpret_cast<std::uintptr_t>(&record));
    if (action == CleanAction::None) continue;
    consent.anyCleanable = true;
    if (!reporter.send(AVM_QUERY_REPAIR) && strength(action) > strength(consent.action)) {
      consent.action = action;
      consent.detection = found;
    }
  }
  return consent;
}

using Sha256 = std::array<std::uint8_t, 32>;

// The digest of what was scanned: the scan's own when it hashed the file, else read
// again through the scanned descriptor, which must still be unchanged.
int scannedDigest(const ScannedFile& file, const std::optional<Sha256>& fromScan, const KeepGoing& keepGoing,
                  Sha256& digest) {
  if (fromScan) {
    digest = *fromScan;
    return 0;
  }
  return digestScannedFile(file, keepGoing, digest);
}

// Applies what the host agreed to; the summary that results.
std::uint16_t clean(const Reporter& reporter, const Consent& consent, const ScannedFile& file,
                    const std::optional<Sha256>& fromScan, const std::string& reportName) {
  if (!consent.anyCleanable) {
    reporter.send(AVM_REPAIR_ERROR, 0, AV_REPAIR_ERROR_NONE_POSSIBLE);
    return AV_SUMMARY_INFECTED;
  }
  if (consent.action == CleanAction::None) return AV_SUMMARY_INFECTED;
  const KeepGoing keepGoing = [&reporter] { return !reporter.send(AVM_QUERY_CONTINUE); };
  int error = 0;
  if (consent.action == CleanAction::Delete) {
    error = deleteScannedFile(file);
  } else {
    QuarantineEntry entry{consent.detection->name, {}, reportName};
    error = scannedDigest(file, fromScan, keepGoing, entry.sha256);
    if (error == 0) error = quarantineScannedFile(file, entry, keepGoing);
  }
  if (error != 0) {
    reporter.send(AVM_REPAIR_ERROR, 0, cleanError(error));
    return AV_SUMMARY_INFECTED;
  }
  AV_ACTION record{};
  record.actionTaken = consent.action == CleanAction::Delete ? AV_ACTION_DELETED : AV_ACTION_QUARANTINED;
  reporter.send(AVM_ACTION, 0, reinterpret_cast<std::uintptr_t>(&record));
  return AV_SUMMARY_REPAIRED;
}

using HashContext = std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)>;

HashContext startHash(bool wanted) {
  HashContext hash(nullptr, EVP_MD_CTX_free);
  if (!wanted) return hash;
  hash.reset(EVP_MD_CTX_new());
  if (hash && EVP_DigestInit_ex(hash.get(), EVP_sha256(), nullptr) != 1) hash.reset();
  return hash;
}

void sendHash(const Reporter& reporter, const Sha256& digest) {
  AV_FILEHASH record{};
  record.hashType = AV_HASH_TYPE_SHA256;
  record.bufferSize = static_cast<std::uint32_t>(digest.size());
  record.dataLength = static_cast<std::uint32_t>(digest.size());
  record.data = AV_PTR_TO_U64(digest.data());
  reporter.send(AVM_FILEHASH, 0, reinterpret_cast<std::uintptr_t>(&record));
}

// The detections a remembered verdict names, in its order; nothing when it names
// one the data set does not hold (then the file is read).
std::optional<std::vector<const Detection*>> rememberedDetections(const DataSet& dataSet, const Verdict& verdict) {
  std::vector<const Detection*> detections;
  detections.reserve(verdict.detections.size());
  for (const std::uint32_t index : verdict.detections) {
    const Detection* detection = dataSet.detections.at(index);
    if (detection == nullptr) return std::nullopt;
    detections.push_back(detection);
  }
  return detections;
}

std::vector<std::uint32_t> detectionIndices(const DataSet& dataSet, const std::vector<const Detection*>& detections) {
  std::vector<std::uint32_t> indices;
  indices.reserve(detections.size());
  for (const Detection* detection : detections) indices.push_back(dataSet.detections.indexOf(*detection));
  return indices;
}

// Locates the object's entry and, when the host named the file it must be,
// makes sure it is that file (QeldaObjectIdentity.h): 0, or the scan error that
// ends the object. A replaced module is read through the kernel's handle to the
// mapped inode instead, after AVM_OBJECT_REPLACED; that handle is a kernel
// handle, which nothing removes.
std::uint16_t locateMapped(const Reporter& reporter, const ObjectIdentity& identity, ScannedFile& file);

std::uint16_t locateObject(const Reporter& reporter, const std::string& path,
                           const std::optional<ObjectIdentity>& identity, ScannedFile& file) {
  if (const int error = locateScannedFile(path, file)) return openError(error);
  if (!identity) return 0;
  switch (matchIdentity(*identity, path, file.located)) {
    case IdentityMatch::Same: return 0;
    case IdentityMatch::Changed: return AV_SCAN_ERROR_CHANGED;
    case IdentityMatch::Replaced: break;
  }
  return locateMapped(reporter, *identity, file);
}

// The mapped file through the kernel's handle, after AVM_OBJECT_REPLACED: 0, or
// the scan error that ends the object.
std::uint16_t locateMapped(const Reporter& reporter, const ObjectIdentity& identity, ScannedFile& file) {
  reporter.send(AVM_OBJECT_REPLACED);
  ScannedFile mapped;
  if (const int error = locateScannedFile(identity.fallbackPath, mapped)) return openError(error);
  // The handle names an address range, which may map another file by now.
  if (!isRecordedFile(identity, mapped.located)) return AV_SCAN_ERROR_CHANGED;
  file = std::move(mapped);
  return 0;
}

// Opens the located file for reading: 0, or the scan error that ends the object.
// A module's path that leads elsewhere by the time it is opened (renamed or
// exchanged since it was located) is read through the kernel's handle instead.
std::uint16_t openObject(const Reporter& reporter, const std::optional<ObjectIdentity>& identity,
                         ScannedFile& file) {
  int error = openLocatedFile(file);
  if (error == ESTALE && identity && !file.kernelHandle && hasUsableFallback(*identity)) {
    if (const std::uint16_t failed = locateMapped(reporter, *identity, file)) return failed;
    error = openLocatedFile(file);
  }
  return error == 0 ? 0 : openError(error);
}

// How the rules' run over the file ended.
struct RuleRun {
  int result = ERROR_SUCCESS;
  std::vector<const Detection*> detections;
  CallbackFault fault = CallbackFault::None;
  bool stopped = false;
  int readError = 0;
  bool shortRead = false;
  bool readWhole = false;
  // The scanner's state is that of a finished scan, fit for the next object.
  bool ended() const {
    return result == ERROR_SUCCESS && fault == CallbackFault::None && !stopped && readError == 0 && !shortRead;
  }
};

RuleRun runRules(const Engine& engine, const Reporter& reporter, const ScannedFile& file, ScanWorkspace& workspace,
                 EVP_MD_CTX* hash) {
  const auto size = static_cast<std::uint64_t>(file.opened.st_size);
  YR_SCANNER* scanner = workspace.scanner.get();
  BlockReader reader(file.file.get(), size, workspace.buffer.get(),
                     [&reporter] { return reporter.send(AVM_QUERY_CONTINUE); }, hash, engine.wholeViewBudget());
  ScanListener listener{&engine.dataSet().detections, &reader, {}, CallbackFault::None};
  yr_scanner_set_callback(scanner, onScanMessage, &listener);
  // The scan reads its own buffer, never a mapping, so libyara need not swap the
  // process's signal handlers around every block; fast mode records one match of
  // a string that no condition counts, which bounds the match memory of a file
  // full of one marker.
  yr_scanner_set_flags(scanner, SCAN_FLAGS_REPORT_RULES_MATCHING | SCAN_FLAGS_FAST_MODE | SCAN_FLAGS_NO_TRYCATCH);
  yr_scanner_set_timeout(scanner, kScanTimeoutSeconds);
  RuleRun run;
  run.result = yr_scanner_scan_mem_blocks(scanner, reader.iterator(scanner));
  // The listener dies with this call; the scanner must not keep its address.
  yr_scanner_set_callback(scanner, nullptr, nullptr);
  run.detections = std::move(listener.detections);
  run.fault = reader.fault() != CallbackFault::None ? reader.fault() : listener.fault;
  run.stopped = reader.stopped();
  run.readError = reader.readError();
  run.shortRead = reader.shortRead();
  run.readWhole = reader.readWhole();
  return run;
}

std::uint16_t faultError(CallbackFault fault) {
  return fault == CallbackFault::OutOfMemory ? AV_SCAN_ERROR_OUT_OF_MEMORY : AV_SCAN_ERROR_READ_FAULT;
}

// The key under which the cache answers for the opened file and remembers it;
// nothing when the file's stamps could stay while its content changes.
std::optional<VerdictKey> trustedKeyOf(const ScannedFile& file) {
  const CacheTrustCheck trust = checkCacheTrust(file);
  if (trust.trust != CacheTrust::Trusted) return std::nullopt;
  VerdictKey key = verdictKeyOf(file.opened);
  key.mountId = trust.mountId;
  return key;
}

// Finishes a scan after the rules were run over the file or a remembered verdict
// answered for it: the same messages either way.
struct Findings {
  std::vector<const Detection*> detections;
  std::optional<Sha256> digest;
};

std::uint16_t report(const Reporter& reporter, const DataSet& dataSet, const ScannedFile& file,
                     const ScanRequest& request, const Findings& findings) {
  std::uint16_t summary = AV_SUMMARY_CLEAN;
  if (!findings.detections.empty()) {
    const Consent consent = offerDetections(reporter, dataSet, findings.detections, !file.kernelHandle);
    const std::string reportName = request.identity ? request.identity->reportName : std::string{};
    summary = clean(reporter, consent, file, findings.digest, reportName);
  }
  if (findings.digest) sendHash(reporter, *findings.digest);
  reporter.finish(summary);
  return summary;
}

// The rest of a scan that a remembered verdict answers: the messages a scan that
// read the file would send, the host's chances to stop and to agree to cleaning
// included. Cleaning acts on the descriptor whose stamps matched the verdict.
void answerFromCache(const Engine& engine, const Reporter& reporter, const ScannedFile& file,
                     const ScanRequest& request, Findings findings) {
  const auto size = static_cast<std::uint64_t>(file.opened.st_size);
  const std::uint64_t blocks = size == 0 ? 1 : (size + kBlockSize - 1) / kBlockSize;
  for (std::uint64_t block = 0; block < blocks; ++block) {
    if (reporter.send(AVM_QUERY_CONTINUE)) return reporter.finish(AV_SUMMARY_NOT_SCANNED);
  }
  if (reporter.send(AVM_QUERY_CONTINUE_2)) return reporter.finish(AV_SUMMARY_NOT_SCANNED);
  if (!request.collectHash) findings.digest.reset();
  EngineRegistry::instance().countCacheHit();
  report(reporter, engine.dataSet(), file, request, findings);
}

void scanFile(const Engine& engine, const std::string& path, const ScanRequest& request) {
  const std::int64_t scanStart = changeClockNow();
  const Reporter reporter(request.callback, request.context);
  reporter.send(AVM_OBJECT_TYPE, AV_ITEM_TYPE_FILE);
  reporter.send(AVM_OBJECT_NAME, 0, reinterpret_cast<std::uintptr_t>(path.c_str()));
  // The content is opened only once the host wants it scanned: a pass that only
  // lists objects costs a look at the entry. The identity is checked before
  // that, so that no verdict, remembered or new, is ever given for another file.
  ScannedFile file;
  if (const std::uint16_t error = locateObject(reporter, path, request.identity, file)) {
    return reporter.trouble(error);
  }
  const auto size = static_cast<std::uint64_t>(file.located.st_size);
  reporter.send(AVM_OBJECT_SIZE, 0, static_cast<std::uintptr_t>(size));
  if (reporter.send(AVM_QUERY_SCAN)) return reporter.finish(AV_SUMMARY_NOT_SCANNED);
  reporter.send(AVM_PASS);
  if (const std::uint16_t error = openObject(reporter, request.identity, file)) return reporter.trouble(error);
  const struct stat& before = file.opened;
  const DataSet& dataSet = engine.dataSet();

  // The cache is asked only about a file it can trust, through the descriptor
  // that is read and acted on.
  VerdictCache* const verdicts = engine.verdicts();
  const std::optional<VerdictKey> key = verdicts != nullptr ? trustedKeyOf(file) : std::nullopt;
  if (key) {
    // A verdict without the hash the host asks for is no answer: read the file.
    if (const std::optional<Verdict> known = verdicts->find(*key); known && (!request.collectHash || known->sha256)) {
      if (auto detections = rememberedDetections(dataSet, *known)) {
        return answerFromCache(engine, reporter, file, request, Findings{std::move(*detections), known->sha256});
      }
    }
  }

  ScannerPool::Lease workspace = dataSet.scanners->borrow();
  const HashContext hash = startHash(request.collectHash);
  RuleRun run = runRules(engine, reporter, file, *workspace, hash.get());
  if (!run.ended()) workspace.discard();

  if (run.fault != CallbackFault::None) return reporter.trouble(faultError(run.fault));
  if (run.stopped) return reporter.finish(AV_SUMMARY_NOT_SCANNED);
  if (run.readError != 0) return reporter.trouble(AV_SCAN_ERROR_READ_FAULT);
  // The scan began with the look at the entry. A file whose stamps moved since
  // (a write, but also a rename, which a process can repeat endlessly) may have
  // been read part before and part after: no clean verdict rests on such a read.
  // A match in it was in the file all the same, so a detection stands; acting on
  // it still needs the file unchanged (checkStillInPlace).
  const bool heldStill =
      verdictKeyOf(before) == verdictKeyOf(file.located) && !run.shortRead && unchangedSinceOpen(file);
  if (!heldStill && run.detections.empty()) return reporter.trouble(AV_SCAN_ERROR_CHANGED);
  if (run.result != ERROR_SUCCESS) return reporter.trouble(yaraError(run.result));
  if (reporter.send(AVM_QUERY_CONTINUE_2)) return reporter.finish(AV_SUMMARY_NOT_SCANNED);

  Findings findings{std::move(run.detections), std::nullopt};
  unsigned digestSize = 0;
  // A torn read's digest is that of no content the file ever held.
  if (hash && run.readWhole && heldStill &&
      EVP_DigestFinal_ex(hash.get(), findings.digest.emplace().data(), &digestSize) != 1) {
    findings.digest.reset();
  }
  // The stamps were checked unchanged after the read above, so the key is that
  // of the bytes just matched. A file cleaned is gone; one too fresh may change
  // again within the stamps' grain.
  Verdict verdict{findings.digest, detectionIndices(dataSet, findings.detections)};
  const std::uint16_t summary = report(reporter, dataSet, file, request, findings);
  if (key && heldStill && summary != AV_SUMMARY_REPAIRED && verdict.detections.size() <= kMostRememberedDetections &&
      settledBefore(before, scanStart, engine.settleNs())) {
    try {
      verdicts->remember(*key, std::move(verdict));
    } catch (const std::bad_alloc&) {
      // An object not remembered is only read again next time.
    }
  }
}

std::uint16_t readScanParameters(const AV_PARAMETERS& parameters, ScanRequest& request) {
  if (parameters.size != sizeof(AV_PARAMETERS) || (parameters.count != 0 && parameters.parameters == 0)) {
    return AV_STATUS_BAD_PARAMETERS;
  }
  const auto* list = AV_U64_TO_PTR(const AV_SINGLEPARAMETER*, parameters.parameters);
  for (std::uint16_t i = 0; i < parameters.count; ++i) {
    const AV_SINGLEPARAMETER& parameter = list[i];
    if (parameter.size != sizeof(AV_SINGLEPARAMETER)) return AV_STATUS_BAD_PARAMETERS;
    switch (parameter.code) {
      case AV_PARAM_CALLBACK: request.callback = AV_U64_TO_PTR(AV_CALLBACK, parameter.value); break;
      case AV_PARAM_CALLBACK_CONTEXT: request.context = &parameter; break;
      case AV_PARAM_SCAN_OBJECT:
        request.descriptor = AV_U64_TO_PTR(const AV_OBJECTDESCRIPTOR*, parameter.value);
        break;
      case AV_PARAM_COLLECT_HASH: request.collectHash = true; break;
      case AV_PARAM_OBJECT_IDENTITY:
        if (!readObjectIdentity(parameter, request.identity.emplace())) return AV_STATUS_BAD_PARAMETERS;
        break;
      default: break;
    }
  }
  const AV_OBJECTDESCRIPTOR* descriptor = request.descriptor;
  if (descriptor == nullptr || descriptor->size != sizeof(AV_OBJECTDESCRIPTOR)) return AV_STATUS_BAD_PARAMETERS;
  if (descriptor->kind == AV_OBJECT_KIND_MEMORY) return AV_STATUS_NOT_SUPPORTED;
  if (descriptor->kind != AV_OBJECT_KIND_FILE || descriptor->path == 0 || descriptor->pathLength == 0) {
    return AV_STATUS_BAD_PARAMETERS;
  }
  return AV_STATUS_OK;
}

}  // namespace

std::uint16_t scanObject(const Engine& engine, const AV_PARAMETERS& parameters) try {
  ScanRequest request;
  if (const std::uint16_t status = readScanParameters(parameters, request)) return status;
  if (!engine.dataSet().rules) return AV_STATUS_BAD_HANDLE;  // a version-query engine
  const AV_OBJECTDESCRIPTOR* descriptor = request.descriptor;
  const char* path = AV_U64_TO_PTR(const char*, descriptor->path);
  scanFile(engine, std::string(path, strnlen(path, descriptor->pathLength)), request);
  return AV_STATUS_OK;
} catch (const std::bad_alloc&) {
  return AV_STATUS_OUT_OF_MEMORY;
} catch (...) {
  // Only the host's callback could throw anything else; it must not cross the
  // C interface either.
  return AV_STATUS_ENGINE_FAILURE;
}

}  // namespace qelda
