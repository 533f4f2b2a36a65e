#include "qelda/QeldaQuarantineStore.h"

#include "qelda/QeldaFileChunks.h"
#include "qelda/QeldaNoFollowPath.h"

#include <dirent.h>
#include <fcntl.h>
#include <openssl/rand.h>
#include <stdio.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <memory>

namespace qelda {
namespace {

constexpr char kDataSuffix[] = ".qdata";
constexpr char kRecordSuffix[] = ".qrec";
constexpr char kTemporarySuffix[] = ".qrec.tmp";
constexpr std::uint64_t kMinimumFloor = 64ull << 20;

std::string machineFolderOf(const QuarantineOptions& options) {
  if (!options.machineFolder.empty()) return options.machineFolder;
  const char* machine = std::getenv("VX_MACHINE_DIR");
  return (machine != nullptr && *machine != '\0') ? machine : "/var/lib";
}

// A folder others could write to would let them plant or swap what we read and
// remove; the machine folder may also be root's (as /var/lib is).
int checkFolder(int folder, bool rootMayOwn) {
  struct stat info {};
  if (::fstat(folder, &info) != 0) return errno;
  const bool owned = info.st_uid == ::geteuid() || (rootMayOwn && info.st_uid == 0);
  return owned && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 ? 0 : EPERM;
}

int openFolderAt(int parent, const std::string& name, mode_t mode, bool create, Fd& folder) {
  if (create) return openOrMakeFolderAt(parent, name, mode, folder);
  folder.reset(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return folder.valid() ? 0 : errno;
}

std::string newId() {
  std::array<unsigned char, 8> random{};
  if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string id = std::to_string(std::time(nullptr)) + "-";
  for (const unsigned char byte : random) {
    id += kDigits[byte >> 4];
    id += kDigits[byte & 15];
  }
  return id;
}

int readBounded(int fd, std::size_t limit, std::string& text) {
  text.assign(limit + 1, '\0');
  std::size_t got = 0;
  while (got < text.size()) {
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > limit) return EBADMSG;
  text.resize(got);
  return 0;
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() > suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The machine folder; a missing last component is made (its parent must exist).
int openMachineFolder(const std::string& path, bool create, Fd& machine) {
  const int error = openFolderNoFollow(path, machine);
  if (error != ENOENT || !create) return error;
  std::string parentPath;
  std::string name;
  Fd parent;
  if (const int failed = splitEntryPath(path, parentPath, name)) return failed;
  if (const int failed = openFolderNoFollow(parentPath, parent)) return failed;
  return openOrMakeFolderAt(parent.get(), name, 0755, machine);
}

}  // namespace

std::string quarantineFolder(const QuarantineOptions& options) {
  return machineFolderOf(options) + "/Vexora/Quarantine";
}

bool validQuarantineId(std::string_view id) {
  return !id.empty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
  });
}

int QuarantineStore::open(const QuarantineOptions& options, bool create, QuarantineStore& store) {
  Fd machine;
  if (const int error = openMachineFolder(machineFolderOf(options), create, machine)) return error;
  if (const int error = checkFolder(machine.get(), true)) return error;
  Fd vexora;
  if (const int error = openFolderAt(machine.get(), "Vexora", 0755, create, vexora)) return error;
  if (const int error = checkFolder(vexora.get(), false)) return error;
  Fd quarantine;
  if (const int error = openFolderAt(vexora.get(), "Quarantine", 0700, create, quarantine)) return error;
  if (const int error = checkFolder(quarantine.get(), false)) return error;
  if (::fchmod(quarantine.get(), 0700) != 0) return errno;
  store.folder_ = std::move(quarantine);
  store.floor_ = options.freeSpaceFloor;
  return 0;
}

int QuarantineStore::checkFreeSpace(std::uint64_t bytes) const {
  struct statvfs space {};
  if (::fstatvfs(folder_.get(), &space) != 0) return errno;
  const std::uint64_t available = static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize;
  const std::uint64_t total = static_cast<std::uint64_t>(space.f_blocks) * space.f_frsize;
  const std::uint64_t floor = floor_.value_or(std::max(kMinimumFloor, total / 100));
  return bytes <= available && available - bytes >= floor ? 0 : ENOSPC;
}

int QuarantineStore::createData(std::string& id, Fd& data) const {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const std::string candidate = newId();
    if (candidate.empty()) return EIO;
    data.reset(::openat(folder_.get(), (candidate + kDataSuffix).c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (data.valid()) {
      id = candidate;
      return 0;
    }
    if (errno != EEXIST) return errno;
  }
  return EEXIST;
}

int QuarantineStore::openData(const std::string& id, Fd& data, struct stat& info) const {
  if (!validQuarantineId(id)) return EINVAL;
  Fd opened(::openat(folder_.get(), (id + kDataSuffix).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!opened.valid()) return errno;
  if (::fstat(opened.get(), &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return EBADMSG;
  data = std::move(opened);
  return 0;
}

int QuarantineStore::writeRecord(const std::string& id, const QuarantineRecord& record) const {
  const std::string temporary = id + kTemporarySuffix;
  Fd file(::openat(folder_.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) return errno;
  const std::string text = formatRecord(record);
  int error = writeFullyAt(file.get(), reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), 0);
  if (error == 0 && ::fsync(file.get()) != 0) error = errno;
  if (error == 0 && ::renameat2(folder_.get(), temporary.c_str(), folder_.get(), (id + kRecordSuffix).c_str(),
                                RENAME_NOREPLACE) != 0) {
    error = errno;
  }
  if (error == 0 && ::fsync(folder_.get()) != 0) error = errno;
  if (error != 0) ::unlinkat(folder_.get(), temporary.c_str(), 0);
  return error;
}

int QuarantineStore::readRecord(const std::string& id, QuarantineRecord& record) const {
  if (!validQuarantineId(id)) return EINVAL;
  Fd file(::openat(folder_.get(), (id + kRecordSuffix).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file.valid()) return errno;
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return errno;
  if (!S_ISREG(info.st_mode) || static_cast<std::uint64_t>(info.st_size) > kMaxRecordBytes) return EBADMSG;
  std::string text;
  if (const int error = readBounded(file.get(), kMaxRecordBytes, text)) return error;
  return parseRecord(text, record) ? 0 : EBADMSG;
}

int QuarantineStore::listIds(std::vector<std::string>& ids) const {
  const int copy = ::openat(folder_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (copy < 0) return errno;
  const std::unique_ptr<DIR, int (*)(DIR*)> listing(::fdopendir(copy), ::closedir);
  if (!listing) {
    const int error = errno;
    ::close(copy);
    return error;
  }
  ids.clear();
  while (const dirent* entry = ::readdir(listing.get())) {
    const std::string_view name = entry->d_name;
    if (!endsWith(name, kRecordSuffix)) continue;
    const std::string_view id = name.substr(0, name.size() - (sizeof kRecordSuffix - 1));
    if (validQuarantineId(id)) ids.emplace_back(id);
  }
  std::sort(ids.begin(), ids.end());
  return 0;
}

void QuarantineStore::discard(const std::string& id) const {
  for (const char* suffix : {kRecordSuffix, kTemporarySuffix, kDataSuffix}) {
    ::unlinkat(folder_.get(), (id + suffix).c_str(), 0);
  }
  ::fsync(folder_.get());
}

}  // namespace qelda
