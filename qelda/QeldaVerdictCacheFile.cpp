#include "qelda/QeldaVerdictCacheFile.h"

#include "qelda/QeldaNoFollowPath.h"
#include "qelda/QeldaSha256.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
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
  Reader in(file.data(), body);
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

// A folder others could write to would let them plant the file we trust.
int checkFolder(int folder) {
  struct stat info {};
  if (::fstat(folder, &info) != 0) return errno;
  const bool owned = info.st_uid == ::geteuid() || info.st_uid == 0;
  return owned && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 ? 0 : EPERM;
}

int openVexora(const std::string& machine, bool create, Fd& vexora) {
  Fd folder;
  if (const int error = openFolderNoFollow(verdictMachineFolder(machine), folder)) return error;
  if (const int error = checkFolder(folder.get())) return error;
  if (create) {
    if (const int error = openOrMakeFolderAt(folder.get(), "Vexora", 0755, vexora)) return error;
  } else {
    vexora.reset(::openat(folder.get(), "Vexora", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!vexora.valid()) return errno;
  }
  return checkFolder(vexora.get());
}

int readAll(int fd, std::size_t size, std::vector<std::uint8_t>& data) {
  data.assign(size, 0);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, data.data() + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EBADMSG;
    got += static_cast<std::size_t>(n);
  }
  return 0;
}

int writeAll(int fd, const std::vector<std::uint8_t>& data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t put = ::write(fd, data.data() + done, data.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return errno;
    done += static_cast<std::size_t>(put);
  }
  return 0;
}

std::string temporaryName() {
  std::array<unsigned char, 8> random{};
  if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string name = std::string(kVerdictCacheFileName) + "." + std::to_string(::getpid()) + "-";
  for (const unsigned char byte : random) {
    name += kDigits[byte >> 4];
    name += kDigits[byte & 15];
  }
  return name + ".tmp";
}

}  // namespace

std::string verdictMachineFolder(const std::string& machine) {
  if (!machine.empty()) return machine;
  const char* fromEnvironment = std::getenv("VX_MACHINE_DIR");
  return (fromEnvironment != nullptr && *fromEnvironment != '\0') ? fromEnvironment : "/var/lib";
}

std::string verdictCacheFilePath(const std::string& machine) {
  return verdictMachineFolder(machine) + "/Vexora/" + kVerdictCacheFileName;
}

int loadVerdicts(const std::string& machine, const VerdictCacheIdentity& identity, VerdictCache& cache) try {
  Fd vexora;
  if (const int error = openVexora(machine, false, vexora)) return error == ENOENT ? 0 : error;
  Fd file(::openat(vexora.get(), kVerdictCacheFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) return errno == ENOENT ? 0 : errno;
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return EBADMSG;
  if (info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return EPERM;
  const std::uint64_t largest = kHeaderSize + static_cast<std::uint64_t>(cache.capacity()) * kEntrySize + kTrailerSize;
  if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > largest) return EBADMSG;
  std::vector<std::uint8_t> data;
  if (const int error = readAll(file.get(), static_cast<std::size_t>(info.st_size), data)) return error;
  std::vector<VerdictEntry> entries;
  if (const int error = decode(data, identity, entries)) return error;
  for (const VerdictEntry& entry : entries) cache.remember(entry.key, entry.verdict);
  return 0;
} catch (const std::bad_alloc&) {
  return ENOMEM;
}

int saveVerdicts(const std::string& machine, const VerdictCacheIdentity& identity, const VerdictCache& cache) try {
  const std::vector<std::uint8_t> data = encode(identity, cache.entries());
  Fd vexora;
  if (const int error = openVexora(machine, true, vexora)) return error;
  const std::string temporary = temporaryName();
  if (temporary.empty()) return EIO;
  Fd file(::openat(vexora.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) return errno;
  int error = ::fchmod(file.get(), 0600) != 0 ? errno : 0;
  if (error == 0) error = writeAll(file.get(), data);
  if (error == 0 && ::fsync(file.get()) != 0) error = errno;
  if (error == 0 && ::renameat(vexora.get(), temporary.c_str(), vexora.get(), kVerdictCacheFileName) != 0) error = errno;
  if (error != 0) {
    ::unlinkat(vexora.get(), temporary.c_str(), 0);
    return error;
  }
  ::fsync(vexora.get());
  return 0;
} catch (const std::bad_alloc&) {
  return ENOMEM;
}

int clearVerdicts(const std::string& machine) {
  Fd vexora;
  if (const int error = openVexora(machine, false, vexora)) return error == ENOENT ? 0 : error;
  if (::unlinkat(vexora.get(), kVerdictCacheFileName, 0) != 0 && errno != ENOENT) return errno;
  ::fsync(vexora.get());
  return 0;
}

}  // namespace qelda
