#include "qelda/QeldaVerdictCacheFile.h"

#include "qelda/QeldaPrivateFile.h"
#include "qelda/QeldaSha256.h"


#include <cerrno>
#include <cstring>
#include <vector>

namespace qelda {
namespace {

constexpr char kMagic[4] = {'Q', 'V', 'C', '2'};
constexpr std::size_t kHeaderSize = 4 + 32 + 12 + 32 + 8;
// Key, digest flag, digest and the number of detections; then 4 bytes per detection.
constexpr std::size_t kEntrySize = 6 * 8 + 1 + 32 + 2;
constexpr std::size_t kDetectionSize = 4;
constexpr std::size_t kTrailerSize = 32;

// The largest file a cache of `capacity` entries loads, and so writes.
std::uint64_t largestFile(std::size_t capacity) {
  return kHeaderSize + static_cast<std::uint64_t>(capacity) * (kEntrySize + kDetectionSize) + kTrailerSize;
}

class Writer {
 public:
  void bytes(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    buffer.insert(buffer.end(), p, p + size);
  }
  template <typename T>
  void value(T v) { bytes(&v, sizeof v); }
  std::vector<std::uint8_t> buffer;
};

// Reads what lengths checked before allow, and says when a read would pass the end.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool bytes(void* out, std::size_t size) {
    if (size > size_ - at_) return false;
    std::memcpy(out, data_ + at_, size);
    at_ += size;
    return true;
  }
  template <typename T>
  bool value(T& v) { return bytes(&v, sizeof v); }
  bool atEnd() const { return at_ == size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

std::array<std::uint8_t, 32> checksumOf(const std::uint8_t* data, std::size_t size) {
  Sha256 hash;
  hash.update(data, size);
  std::array<std::uint8_t, 32> sum{};
  if (!hash.finish(sum)) sum.fill(0);
  return sum;
}

void encodeEntry(Writer& out, const VerdictEntry& entry) {
  out.value(entry.key.device);
  out.value(entry.key.inode);
  out.value(entry.key.size);
  out.value(entry.key.mtimeNs);
  out.value(entry.key.ctimeNs);
  out.value(entry.key.mountId);
  out.value(static_cast<std::uint8_t>(entry.verdict.sha256 ? 1 : 0));
  std::array<std::uint8_t, 32> digest{};
  if (entry.verdict.sha256) digest = *entry.verdict.sha256;
  out.bytes(digest.data(), digest.size());
  out.value(static_cast<std::uint16_t>(entry.verdict.detections.size()));
  for (const std::uint32_t detection : entry.verdict.detections) out.value(detection);
}

std::vector<std::uint8_t> encode(const VerdictCacheIdentity& identity, const std::vector<VerdictEntry>& entries,
                                 std::uint64_t largest) {
  // The newest entries are kept when not all fit: each shard lists its oldest first.
  std::uint64_t room = largest - kHeaderSize - kTrailerSize;
  std::vector<const VerdictEntry*> kept;
  kept.reserve(entries.size());
  for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
    if (entry->verdict.detections.size() > kMostRememberedDetections) continue;
    const std::uint64_t size = kEntrySize + entry->verdict.detections.size() * kDetectionSize;
    if (size > room) continue;
    room -= size;
    kept.push_back(&*entry);
  }
  Writer out;
  out.buffer.reserve(static_cast<std::size_t>(largest - room));
  out.bytes(kMagic, sizeof kMagic);
  out.bytes(identity.dataSetSha256.data(), identity.dataSetSha256.size());
  for (const std::uint32_t part : identity.engineVersion) out.value(part);
  out.bytes(identity.runtime.data(), identity.runtime.size());
  out.value(static_cast<std::uint64_t>(kept.size()));
  for (auto entry = kept.rbegin(); entry != kept.rend(); ++entry) encodeEntry(out, **entry);
  const auto sum = checksumOf(out.buffer.data(), out.buffer.size());
  out.bytes(sum.data(), sum.size());
  return out.buffer;
}

bool decodeEntry(Reader& in, VerdictEntry& entry) {
  std::uint8_t hasDigest = 0;
  std::array<std::uint8_t, 32> digest{};
  std::uint16_t detections = 0;
  if (!in.value(entry.key.device) || !in.value(entry.key.inode) || !in.value(entry.key.size) ||
      !in.value(entry.key.mtimeNs) || !in.value(entry.key.ctimeNs) || !in.value(entry.key.mountId) ||
      !in.value(hasDigest) || !in.bytes(digest.data(), digest.size()) || !in.value(detections)) {
    return false;
  }
  if (hasDigest > 1 || detections > kMostRememberedDetections) return false;
  if (hasDigest == 1) entry.verdict.sha256 = digest;
  entry.verdict.detections.resize(detections);
  for (std::uint32_t& detection : entry.verdict.detections) {
    if (!in.value(detection)) return false;
  }
  return true;
}

// The file's entries; EBADMSG when it is not one this code wrote whole.
int decode(const std::vector<std::uint8_t>& file, const VerdictCacheIdentity& identity,
           std::vector<VerdictEntry>& entries) {
  if (file.size() < kHeaderSize + kTrailerSize) return EBADMSG;
  const std::size_t body = file.size() - kTrailerSize;
  if (std::memcmp(checksumOf(file.data(), body).data(), file.data() + body, kTrailerSize) != 0) return EBADMSG;
  Reader in(file.data(), body);
  char magic[4];
  VerdictCacheIdentity stored;
  std::uint64_t count = 0;
  in.bytes(magic, sizeof magic);
  if (std::memcmp(magic, kMagic, sizeof magic) != 0) return EBADMSG;
  in.bytes(stored.dataSetSha256.data(), stored.dataSetSha256.size());
  for (std::uint32_t& part : stored.engineVersion) in.value(part);
  in.bytes(stored.runtime.data(), stored.runtime.size());
  in.value(count);
  if (count > (body - kHeaderSize) / kEntrySize) return EBADMSG;
  if (stored != identity) return 0;
  entries.resize(static_cast<std::size_t>(count));
  for (VerdictEntry& entry : entries) {
    if (!decodeEntry(in, entry)) return EBADMSG;
  }
  return in.atEnd() ? 0 : EBADMSG;
}

}  // namespace

std::string verdictMachineFolder(const std::string& machine) { return privateMachineFolder(machine); }

std::string verdictCacheFilePath(const std::string& machine) { return privateFilePath(machine, kVerdictCacheFileName); }

int loadVerdicts(const std::string& machine, const VerdictCacheIdentity& identity, VerdictCache& cache) try {
  std::vector<std::uint8_t> data;
  if (const int error = readPrivateFile(machine, kVerdictCacheFileName, largestFile(cache.capacity()), data)) {
    return error == ENOENT ? 0 : error;
  }
  std::vector<VerdictEntry> entries;
  if (const int error = decode(data, identity, entries)) return error;
  cache.reserve(entries.size());
  for (VerdictEntry& entry : entries) cache.remember(entry.key, std::move(entry.verdict));
  return 0;
} catch (const std::bad_alloc&) {
  return ENOMEM;
}

int saveVerdicts(const std::string& machine, const VerdictCacheIdentity& identity, const VerdictCache& cache) try {
  return writePrivateFile(machine, kVerdictCacheFileName,
                          encode(identity, cache.entries(), largestFile(cache.capacity())));
} catch (const std::bad_alloc&) {
  return ENOMEM;
}

int clearVerdicts(const std::string& machine) { return removePrivateFile(machine, kVerdictCacheFileName); }

}  // namespace qelda
