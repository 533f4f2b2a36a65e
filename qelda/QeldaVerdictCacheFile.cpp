#include "qelda/QeldaVerdictCacheFile.h"

#include "qelda/QeldaPrivateFile.h"
#include "qelda/QeldaSha256.h"


#include <cerrno>
#include <cstring>
#include <vector>

namespace qelda {
namespace {

constexpr char kMagic[4] = {'Q', 'V', 'C', '1'};
constexpr std::size_t kHeaderSize = 4 + 32 + 12 + 8;
constexpr std::size_t kEntrySize = 5 * 8 + 1 + 32;
constexpr std::size_t kTrailerSize = 32;

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

class Reader {
 public:
  explicit Reader(const std::uint8_t* data) : data_(data) {}
  void bytes(void* out, std::size_t size) {
    std::memcpy(out, data_ + at_, size);  // lengths were checked before reading
    at_ += size;
  }
  template <typename T>
  T value() {
    T v{};
    bytes(&v, sizeof v);
    return v;
  }

 private:
  const std::uint8_t* data_;
  std::size_t at_ = 0;
};

std::array<std::uint8_t, 32> checksumOf(const std::uint8_t* data, std::size_t size) {
  Sha256 hash;
  hash.update(data, size);
  std::array<std::uint8_t, 32> sum{};
  if (!hash.finish(sum)) sum.fill(0);
  return sum;
}

std::vector<std::uint8_t> encode(const VerdictCacheIdentity& identity, const std::vector<VerdictEntry>& entries) {
  Writer out;
  out.buffer.reserve(kHeaderSize + entries.size() * kEntrySize + kTrailerSize);
  out.bytes(kMagic, sizeof kMagic);
  out.bytes(identity.dataSetSha256.data(), identity.dataSetSha256.size());
  for (const std::uint32_t part : identity.engineVersion) out.value(part);
  out.value(static_cast<std::uint64_t>(entries.size()));
  for (const VerdictEntry& entry : entries) {
    out.value(entry.key.device);
    out.value(entry.key.inode);
    out.value(entry.key.size);
    out.value(entry.key.mtimeNs);
    out.value(entry.key.ctimeNs);
    out.value(static_cast<std::uint8_t>(entry.verdict.sha256 ? 1 : 0));
    std::array<std::uint8_t, 32> digest{};
    if (entry.verdict.sha256) digest = *entry.verdict.sha256;
    out.bytes(digest.data(), digest.size());
  }
  const auto sum = checksumOf(out.buffer.data(), out.buffer.size());
  out.bytes(sum.data(), sum.size());
  return out.buffer;
}

// The file's entries; EBADMSG when it is not one this code wrote whole.
int decode(const std::vector<std::uint8_t>& file, const VerdictCacheIdentity& identity,
           std::vector<VerdictEntry>& entries) {
  if (file.size() < kHeaderSize + kTrailerSize) return EBADMSG;
  const std::size_t body = file.size() - kTrailerSize;
  if (std::memcmp(checksumOf(file.data(), body).data(), file.data() + body, kTrailerSize) != 0) return EBADMSG;
  Reader in(file.data());
  char magic[4];
  in.bytes(magic, sizeof magic);
  if (std::memcmp(magic, kMagic, sizeof magic) != 0) return EBADMSG;
  VerdictCacheIdentity stored;
  in.bytes(stored.dataSetSha256.data(), stored.dataSetSha256.size());
  for (std::uint32_t& part : stored.engineVersion) part = in.value<std::uint32_t>();
  const auto count = in.value<std::uint64_t>();
  if (count > (body - kHeaderSize) / kEntrySize || kHeaderSize + count * kEntrySize != body) return EBADMSG;
  if (stored != identity) return 0;
  entries.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    VerdictEntry entry;
    entry.key.device = in.value<std::uint64_t>();
    entry.key.inode = in.value<std::uint64_t>();
    entry.key.size = in.value<std::uint64_t>();
    entry.key.mtimeNs = in.value<std::int64_t>();
    entry.key.ctimeNs = in.value<std::int64_t>();
    const auto hasDigest = in.value<std::uint8_t>();
    std::array<std::uint8_t, 32> digest{};
    in.bytes(digest.data(), digest.size());
    if (hasDigest > 1) return EBADMSG;
    if (hasDigest == 1) entry.verdict.sha256 = digest;
    entries.push_back(entry);
  }
  return 0;
}

}  // namespace

std::string verdictMachineFolder(const std::string& machine) { return privateMachineFolder(machine); }

std::string verdictCacheFilePath(const std::string& machine) { return privateFilePath(machine, kVerdictCacheFileName); }

int loadVerdicts(const std::string& machine, const VerdictCacheIdentity& identity, VerdictCache& cache) try {
  const std::uint64_t largest = kHeaderSize + static_cast<std::uint64_t>(cache.capacity()) * kEntrySize + kTrailerSize;
  std::vector<std::uint8_t> data;
  if (const int error = readPrivateFile(machine, kVerdictCacheFileName, largest, data)) {
    return error == ENOENT ? 0 : error;
  }
  std::vector<VerdictEntry> entries;
  if (const int error = decode(data, identity, entries)) return error;
  cache.reserve(entries.size());
  for (const VerdictEntry& entry : entries) cache.remember(entry.key, entry.verdict);
  return 0;
} catch (const std::bad_alloc&) {
  return ENOMEM;
}

int saveVerdicts(const std::string& machine, const VerdictCacheIdentity& identity, const VerdictCache& cache) try {
  return writePrivateFile(machine, kVerdictCacheFileName, encode(identity, cache.entries()));
} catch (const std::bad_alloc&) {
  return ENOMEM;
}

int clearVerdicts(const std::string& machine) { return removePrivateFile(machine, kVerdictCacheFileName); }

}  // namespace qelda
