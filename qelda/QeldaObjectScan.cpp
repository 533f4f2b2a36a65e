#include "qelda/QeldaObjectScan.h"

#include "qelda/QeldaBlockReader.h"
#include "qelda/QeldaCleaner.h"
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

constexpr std::uint64_t kLargestFile = 0xFFFFFFFFull;
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

// What libyara tells during one scan: the rules that matched, and when a module
// loads, so that the reader can show a format module the file whole.
struct ScanListener {
  const DetectionTable* table;
  BlockReader* reader;
  std::vector<const Detection*> detections;
};

int onScanMessage(YR_SCAN_CONTEXT* /*context*/, int message, void* data, void* userData) {
  auto* listener = static_cast<ScanListener*>(userData);
  switch (message) {
    case CALLBACK_MSG_RULE_MATCHING:
      listener->detections.push_back(&listener->table->of(static_cast<const YR_RULE*>(data)));
      break;
    case CALLBACK_MSG_IMPORT_MODULE:
      listener->reader->moduleLoading(static_cast<const YR_MODULE_IMPORT*>(data)->module_name);
      break;
    case CALLBACK_MSG_MODULE_IMPORTED: listener->reader->moduleLoaded(); break;
    default: break;
  }
  return CALLBACK_CONTINUE;
}

std::uint16_t cleanError(int error) {
  switch (error) {
    case EACCES:
    case EPERM: return AV_SCAN_ERROR_ACCESS_DENIED;
    case ESTALE: return AV_SCAN_ERROR_CHANGED;
    case ECANCELED: return AV_REPAIR_ERROR_CANCELLED;
    case ENOSPC: return AV_REPAIR_ERROR_DISK_FULL;
    default: return AV_SCAN_ERROR_READ_FAULT;
  }
}

struct ScanRequest {
  const AV_OBJECTDESCRIPTOR* descriptor = nullptr;
  bool collectHash = false;
  AV_CALLBACK callback = nullptr;
  const AV_CALLBACKCONTEXT* context = nullptr;
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

Consent offerDetections(const Reporter& reporter, const DataSet& dataSet,
                        const std::vector<const Detection*>& detections) {
  Consent consent;
  for (const Detection* found : detections) {
    const CleanAction action = dataSet.clean.actionFor(found->virusType);
    AV_DETECTION record{};
    record.detectType = found->detectType;
    record.virusType = found->virusType;
    record.virusName = AV_PTR_TO_U64(found->name.c_str());
    record.repairable = action != CleanAction::None;
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
                    const std::optional<Sha256>& fromScan) {
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
    QuarantineEntry entry{consent.detection->name, {}};
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

// The rest of a scan whose clean verdict is remembered: the messages a scan that
// read the file would send, the host's chances to stop included.
void finishFromCache(const Reporter& reporter, std::uint64_t size, const CleanVerdict& verdict,
                     bool collectHash) {
  const std::uint64_t blocks = size == 0 ? 1 : (size + kBlockSize - 1) / kBlockSize;
  for (std::uint64_t block = 0; block < blocks; ++block) {
    if (reporter.send(AVM_QUERY_CONTINUE)) return reporter.finish(AV_SUMMARY_NOT_SCANNED);
  }
  if (reporter.send(AVM_QUERY_CONTINUE_2)) return reporter.finish(AV_SUMMARY_NOT_SCANNED);
  if (collectHash && verdict.sha256) sendHash(reporter, *verdict.sha256);
  EngineRegistry::instance().countCacheHit();
  reporter.finish(AV_SUMMARY_CLEAN);
}

void scanFile(const Engine& engine, const std::string& path, const ScanRequest& request) {
  const std::int64_t scanStart = changeClockNow();
  const Reporter reporter(request.callback, request.context);
  reporter.send(AVM_OBJECT_TYPE, AV_ITEM_TYPE_FILE);
  reporter.send(AVM_OBJECT_NAME, 0, reinterpret_cast<std::uintptr_t>(path.c_str()));
  // The content is opened only once the host wants it scanned and no remembered
  // verdict answers for it: a pass that only lists objects, or an unchanged
  // object, costs a look at the entry.
  ScannedFile file;
  if (const int error = locateScannedFile(path, file)) return reporter.trouble(openError(error));
  const auto size = static_cast<std::uint64_t>(file.located.st_size);
  reporter.send(AVM_OBJECT_SIZE, 0, static_cast<std::uint32_t>(size));
  if (size > kLargestFile) return reporter.trouble(AV_SCAN_ERROR_TOO_LARGE);
  if (reporter.send(AVM_QUERY_SCAN)) return reporter.finish(AV_SUMMARY_NOT_SCANNED);
  reporter.send(AVM_PASS);

  VerdictCache* const verdicts = engine.verdicts();
  if (verdicts != nullptr) {
    // A verdict without the hash the host asks for is no answer: read the file.
    const std::optional<CleanVerdict> known = verdicts->find(verdictKeyOf(file.located));
    if (known && (!request.collectHash || known->sha256)) {
      return finishFromCache(reporter, size, *known, request.collectHash);
    }
  }
  if (const int error = openLocatedFile(file)) return reporter.trouble(openError(error));
  const int fd = file.file.get();
  const struct stat& before = file.opened;
  // The scan began with the look at the entry: a file written since then changed
  // during its scan, whatever the read would find.
  const VerdictKey key = verdictKeyOf(before);
  if (key != verdictKeyOf(file.located)) return reporter.trouble(AV_SCAN_ERROR_CHANGED);

  const DataSet& dataSet = engine.dataSet();
  const ScannerPool::Lease workspace = dataSet.scanners->borrow();
  YR_SCANNER* scanner = workspace->scanner.get();
  const HashContext hash = startHash(request.collectHash);
  BlockReader reader(fd, size, workspace->buffer.get(), [&reporter] { return reporter.send(AVM_QUERY_CONTINUE); },
                     hash.get());
  ScanListener listener{&dataSet.detections, &reader, {}};
  yr_scanner_set_callback(scanner, onScanMessage, &listener);
  // The scan reads its own buffer, never a mapping, so libyara need not swap the
  // process's signal handlers around every block; fast mode records one match of
  // a string that no condition counts, which bounds the match memory of a file
  // full of one marker.
  yr_scanner_set_flags(scanner, SCAN_FLAGS_REPORT_RULES_MATCHING | SCAN_FLAGS_FAST_MODE | SCAN_FLAGS_NO_TRYCATCH);
  yr_scanner_set_timeout(scanner, kScanTimeoutSeconds);
  const int scanResult = yr_scanner_scan_mem_blocks(scanner, reader.iterator(scanner));

  if (reader.stopped()) return reporter.finish(AV_SUMMARY_NOT_SCANNED);
  if (reader.readError() != 0) return reporter.trouble(AV_SCAN_ERROR_READ_FAULT);
  if (reader.shortRead() || !unchangedSinceOpen(file)) return reporter.trouble(AV_SCAN_ERROR_CHANGED);
  if (scanResult != ERROR_SUCCESS) return reporter.trouble(yaraError(scanResult));
  if (reporter.send(AVM_QUERY_CONTINUE_2)) return reporter.finish(AV_SUMMARY_NOT_SCANNED);

  std::optional<Sha256> digest;
  unsigned digestSize = 0;
  if (hash && reader.readWhole() && EVP_DigestFinal_ex(hash.get(), digest.emplace().data(), &digestSize) != 1) {
    digest.reset();
  }
  std::uint16_t summary = AV_SUMMARY_CLEAN;
  if (!listener.detections.empty()) {
    const Consent consent = offerDetections(reporter, dataSet, listener.detections);
    summary = clean(reporter, consent, file, digest);
  } else if (verdicts != nullptr && settledBefore(before, scanStart, engine.settleNs())) {
    // The stamps were checked unchanged after the read above, so the key is that
    // of the bytes just matched.
    try {
      verdicts->remember(key, CleanVerdict{digest});
    } catch (const std::bad_alloc&) {
      // An object not remembered is only read again next time.
    }
  }
  if (digest) sendHash(reporter, *digest);
  reporter.finish(summary);
}

}  // namespace

std::uint16_t scanObject(const Engine& engine, const AV_PARAMETERS& parameters) {
  if (parameters.size != sizeof(AV_PARAMETERS) || (parameters.count != 0 && parameters.parameters == 0)) {
    return AV_STATUS_BAD_PARAMETERS;
  }
  ScanRequest request;
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
      default: break;
    }
  }
  const AV_OBJECTDESCRIPTOR* descriptor = request.descriptor;
  if (descriptor == nullptr || descriptor->size != sizeof(AV_OBJECTDESCRIPTOR)) {
    return AV_STATUS_BAD_PARAMETERS;
  }
  if (descriptor->kind == AV_OBJECT_KIND_MEMORY) return AV_STATUS_NOT_SUPPORTED;
  if (descriptor->kind != AV_OBJECT_KIND_FILE || descriptor->path == 0 || descriptor->pathLength == 0) {
    return AV_STATUS_BAD_PARAMETERS;
  }
  if (!engine.dataSet().rules) return AV_STATUS_BAD_HANDLE;  // a version-query engine
  try {
    const char* path = AV_U64_TO_PTR(const char*, descriptor->path);
    scanFile(engine, std::string(path, strnlen(path, descriptor->pathLength)), request);
  } catch (const std::bad_alloc&) {
    return AV_STATUS_OUT_OF_MEMORY;
  }
  return AV_STATUS_OK;
}

}  // namespace qelda
