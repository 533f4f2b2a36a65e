#include "qelda/QeldaObjectScan.h"

#include "qelda/QeldaCleaner.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yara.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace qelda {
namespace {

constexpr std::size_t kBlockSize = 8u << 20;
// Strings up to this length are found across block borders.
constexpr std::size_t kOverlap = 4096;
constexpr std::uint64_t kLargestFile = 0xFFFFFFFFull;

struct Detection {
  std::string name;
  std::uint16_t virusType = 0;
  std::uint16_t detectType = 1;
};

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
    case ENOENT:
    case ENOTDIR: return AV_SCAN_ERROR_NOT_FOUND;
    case EACCES:
    case EPERM: return AV_SCAN_ERROR_ACCESS_DENIED;
    case ELOOP:
    case ENXIO:
    case EISDIR: return AV_SCAN_ERROR_NOT_REGULAR;
    case EFBIG:
    case EOVERFLOW: return AV_SCAN_ERROR_TOO_LARGE;
    default: return AV_SCAN_ERROR_READ_FAULT;
  }
}

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() { ::close(fd_); }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;

 private:
  int fd_;
};

// Feeds the file to libyara block by block, asking the caller to go on before
// each block and hashing every byte once.
struct BlockReader {
  int fd;
  std::uint64_t size;
  const Reporter* reporter;
  EVP_MD_CTX* hash;
  std::vector<std::uint8_t> buffer;
  std::uint64_t nextOffset = 0;  // first byte not read yet
  std::size_t filled = 0;
  YR_MEMORY_BLOCK block{};
  bool stopped = false;
  int readError = 0;
  bool shortRead = false;

  YR_MEMORY_BLOCK* advance(bool first) {
    if (!first && nextOffset >= size) return nullptr;
    if (reporter->send(AVM_QUERY_CONTINUE)) {
      stopped = true;
      return nullptr;
    }
    std::size_t keep = first ? 0 : std::min(kOverlap, filled);
    if (keep != 0) std::memmove(buffer.data(), buffer.data() + filled - keep, keep);
    std::size_t got = 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, size - nextOffset));
    while (got < want) {
      const ssize_t n = ::pread(fd, buffer.data() + keep + got, want - got,
                                static_cast<off_t>(nextOffset + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        readError = errno;
        return nullptr;
      }
      if (n == 0) {
        shortRead = true;
        return nullptr;
      }
      got += static_cast<std::size_t>(n);
    }
    if (hash != nullptr) EVP_DigestUpdate(hash, buffer.data() + keep, got);
    block.base = nextOffset - keep;
    block.size = keep + got;
    nextOffset += got;
    filled = keep + got;
    return &block;
  }
};

const uint8_t* fetchBlock(YR_MEMORY_BLOCK* block) {
  return static_cast<BlockReader*>(block->context)->buffer.data();
}
YR_MEMORY_BLOCK* firstBlock(YR_MEMORY_BLOCK_ITERATOR* iterator) {
  return static_cast<BlockReader*>(iterator->context)->advance(true);
}
YR_MEMORY_BLOCK* nextBlock(YR_MEMORY_BLOCK_ITERATOR* iterator) {
  return static_cast<BlockReader*>(iterator->context)->advance(false);
}
uint64_t blockFileSize(YR_MEMORY_BLOCK_ITERATOR* iterator) {
  return static_cast<BlockReader*>(iterator->context)->size;
}

struct MatchCollector {
  const NamesTable* names;
  std::vector<Detection> detections;
};

int onScanMessage(YR_SCAN_CONTEXT* /*context*/, int message, void* data, void* userData) {
  if (message != CALLBACK_MSG_RULE_MATCHING) return CALLBACK_CONTINUE;
  auto* collector = static_cast<MatchCollector*>(userData);
  const auto* rule = static_cast<const YR_RULE*>(data);
  Detection detection;
  detection.name = rule->identifier;
  int virusType = -1;
  int detectType = -1;
  const YR_META* meta = nullptr;
  yr_rule_metas_foreach(rule, meta) {
    if (std::strcmp(meta->identifier, "name") == 0 && meta->type == META_TYPE_STRING) {
      detection.name = meta->string;
    } else if (std::strcmp(meta->identifier, "virus_type") == 0 && meta->type == META_TYPE_INTEGER) {
      virusType = static_cast<int>(meta->integer & 0xFFFF);
    } else if (std::strcmp(meta->identifier, "detect_type") == 0 && meta->type == META_TYPE_INTEGER) {
      detectType = static_cast<int>(meta->integer & 0xFFFF);
    }
  }
  if (const NameEntry* entry = collector->names->find(detection.name)) {
    if (virusType < 0) virusType = entry->virusType;
    if (detectType < 0) detectType = entry->detectType;
  }
  detection.virusType = static_cast<std::uint16_t>(virusType < 0 ? 0 : virusType);
  detection.detectType = static_cast<std::uint16_t>(detectType < 0 ? 1 : detectType);
  collector->detections.push_back(std::move(detection));
  return CALLBACK_CONTINUE;
}

std::string hex(const unsigned char* bytes, unsigned size) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned i = 0; i < size; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

// Cleans by the strongest action any detection asks for.
CleanAction actionFor(const DataSet& dataSet, const std::vector<Detection>& detections) {
  CleanAction strongest = CleanAction::None;
  for (const Detection& detection : detections) {
    const CleanAction action = dataSet.clean.actionFor(detection.virusType);
    if (action == CleanAction::Delete) return action;
    if (action == CleanAction::Quarantine) strongest = action;
  }
  return strongest;
}

std::uint16_t cleanError(int error) {
  return static_cast<std::uint16_t>(error == EACCES || error == EPERM ? AV_SCAN_ERROR_ACCESS_DENIED
                                    : error == ESTALE                 ? AV_SCAN_ERROR_CHANGED
                                                                      : AV_SCAN_ERROR_READ_FAULT);
}

// Whether the file read is still the one opened, unchanged, under its name: a file
// renamed over the path or unlinked during the scan leaves the descriptor's inode
// intact, so the name is checked as well.
bool sameFileAsOpened(int fd, const std::string& path, const struct stat& before) {
  struct stat after {};
  struct stat named {};
  return ::fstat(fd, &after) == 0 && after.st_size == before.st_size &&
         after.st_mtim.tv_sec == before.st_mtim.tv_sec && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
         ::lstat(path.c_str(), &named) == 0 && named.st_dev == before.st_dev && named.st_ino == before.st_ino;
}

struct ScanRequest {
  const AV_OBJECTDESCRIPTOR* descriptor = nullptr;
  bool collectHash = false;
  AV_CALLBACK callback = nullptr;
  const AV_CALLBACKCONTEXT* context = nullptr;
};

void scanFile(const Engine& engine, const std::string& path, const ScanRequest& request) {
  const Reporter reporter(request.callback, request.context);
  reporter.send(AVM_OBJECT_TYPE, AV_ITEM_TYPE_FILE);
  reporter.send(AVM_OBJECT_NAME, 0, reinterpret_cast<std::uintptr_t>(path.c_str()));
  const int raw = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (raw < 0) return reporter.trouble(openError(errno));
  const ScopedFd owner(raw);
  struct stat before {};
  if (::fstat(raw, &before) != 0) return reporter.trouble(openError(errno));
  if (!S_ISREG(before.st_mode)) return reporter.trouble(AV_SCAN_ERROR_NOT_REGULAR);
  const auto size = static_cast<std::uint64_t>(before.st_size);
  reporter.send(AVM_OBJECT_SIZE, 0, static_cast<std::uint32_t>(size));
  if (size > kLargestFile) return reporter.trouble(AV_SCAN_ERROR_TOO_LARGE);
  if (reporter.send(AVM_QUERY_SCAN)) return reporter.finish(AV_SUMMARY_NOT_SCANNED);
  reporter.send(AVM_PASS);

  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> hash(nullptr, EVP_MD_CTX_free);
  if (request.collectHash) {
    hash.reset(EVP_MD_CTX_new());
    if (hash && EVP_DigestInit_ex(hash.get(), EVP_sha256(), nullptr) != 1) hash.reset();
  }
  BlockReader reader{raw, size, &reporter, hash.get(), {}};
  reader.buffer.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, kBlockSize)) + kOverlap);
  reader.block.context = &reader;
  reader.block.fetch_data = fetchBlock;
  YR_MEMORY_BLOCK_ITERATOR iterator{};
  iterator.context = &reader;
  iterator.first = firstBlock;
  iterator.next = nextBlock;
  iterator.file_size = blockFileSize;

  MatchCollector collector{&engine.dataSet().names, {}};
  YR_SCANNER* rawScanner = nullptr;
  if (yr_scanner_create(engine.dataSet().rules->get(), &rawScanner) != ERROR_SUCCESS) {
    return reporter.trouble(AV_SCAN_ERROR_READ_FAULT);
  }
  std::unique_ptr<YR_SCANNER, void (*)(YR_SCANNER*)> scanner(rawScanner, yr_scanner_destroy);
  yr_scanner_set_callback(scanner.get(), onScanMessage, &collector);
  yr_scanner_set_flags(scanner.get(), SCAN_FLAGS_REPORT_RULES_MATCHING);
  const int scanResult = yr_scanner_scan_mem_blocks(scanner.get(), &iterator);

  if (reader.stopped) return reporter.finish(AV_SUMMARY_NOT_SCANNED);
  if (reader.readError != 0) return reporter.trouble(AV_SCAN_ERROR_READ_FAULT);
  if (reader.shortRead || !sameFileAsOpened(raw, path, before)) return reporter.trouble(AV_SCAN_ERROR_CHANGED);
  if (scanResult != ERROR_SUCCESS) return reporter.trouble(AV_SCAN_ERROR_READ_FAULT);
  if (reporter.send(AVM_QUERY_CONTINUE_2)) return reporter.finish(AV_SUMMARY_NOT_SCANNED);

  const CleanAction action = actionFor(engine.dataSet(), collector.detections);
  for (const Detection& found : collector.detections) {
    AV_DETECTION record{};
    record.detectType = found.detectType;
    record.virusType = found.virusType;
    record.virusName = AV_PTR_TO_U64(found.name.c_str());
    record.repairable = engine.dataSet().clean.actionFor(found.virusType) != CleanAction::None;
    reporter.send(AVM_DETECTION, 0, reinterpret_cast<std::uintptr_t>(&record));
  }
  std::string sha256;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned digestSize = 0;
  if (hash && EVP_DigestFinal_ex(hash.get(), digest, &digestSize) == 1) sha256 = hex(digest, digestSize);

  std::uint16_t summary = collector.detections.empty() ? AV_SUMMARY_CLEAN : AV_SUMMARY_INFECTED;
  if (!collector.detections.empty()) {
    if (action == CleanAction::None) {
      reporter.send(AVM_REPAIR_ERROR, 0, AV_REPAIR_ERROR_NONE_POSSIBLE);
    } else if (!reporter.send(AVM_QUERY_REPAIR)) {
      const int error = action == CleanAction::Delete
                            ? deleteScannedFile(path, before)
                            : quarantineScannedFile(path, raw, before,
                                                    {path, collector.detections.front().name, sha256});
      if (error == 0) {
        AV_ACTION record{};
        record.actionTaken = action == CleanAction::Delete ? AV_ACTION_DELETED : AV_ACTION_QUARANTINED;
        reporter.send(AVM_ACTION, 0, reinterpret_cast<std::uintptr_t>(&record));
        summary = AV_SUMMARY_REPAIRED;
      } else {
        reporter.send(AVM_REPAIR_ERROR, 0, cleanError(error));
      }
    }
  }
  if (request.collectHash && digestSize != 0) {
    AV_FILEHASH record{};
    record.hashType = AV_HASH_TYPE_SHA256;
    record.bufferSize = digestSize;
    record.dataLength = digestSize;
    record.data = AV_PTR_TO_U64(digest);
    reporter.send(AVM_FILEHASH, 0, reinterpret_cast<std::uintptr_t>(&record));
  }
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
