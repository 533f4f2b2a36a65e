#include "tools/sifter/Collection.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "tools/sifter/PathText.h"

namespace sifter {

namespace {

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

bool writeAll(int fd, const unsigned char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

std::string toHex(const unsigned char* data, unsigned size) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 0x0F];
  }
  return text;
}

}  // namespace

bool Collection::add(const std::string& path, int fd, const struct stat& status, const std::string& reason,
                     pid_t pid) {
  const auto identity = identityOf(status);
  if (auto known = byIdentity_.find(identity); known != byIdentity_.end()) {
    auto& file = files_[known->second];
    if (std::find(file.reasons.begin(), file.reasons.end(), reason) == file.reasons.end()) {
      file.reasons.push_back(reason);
    }
    if (pid != 0) file.processes.push_back(pid);
    return false;
  }
  CollectedFile file;
  file.path = path;
  file.identity = identity;
  file.reasons.push_back(reason);
  if (pid != 0) file.processes.push_back(pid);
  file.size = static_cast<std::uint64_t>(status.st_size);
  file.modified = status.st_mtim;
  file.changed = status.st_ctim;
  copy(file, fd);
  byIdentity_.emplace(identity, files_.size());
  files_.push_back(std::move(file));
  return true;
}

void Collection::copy(CollectedFile& file, int fd) {
  if (file.size > maxFileSize_) {
    file.note = "larger than the per-file limit";
    return;
  }
  if (file.size > maxTotalSize_ - std::min(totalArchived_, maxTotalSize_)) {
    file.note = "archive size limit reached";
    return;
  }
  const std::string stagedName = std::to_string(files_.size());
  platform::UniqueFileDescriptor staged(
      openat(stagingFd_, stagedName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> digest(EVP_MD_CTX_new());
  if (!staged.valid() || !digest || EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1) {
    file.note = "could not be copied";
    return;
  }
  // The limits bound the copy, not the size found earlier: a file that grows
  // meanwhile is cut off at the limit and then refused.
  const std::uint64_t limit = std::min(maxFileSize_, maxTotalSize_ - totalArchived_);
  std::uint64_t copied = 0;
  unsigned char buffer[64 * 1024];
  off_t offset = 0;
  while (true) {
    const ssize_t got = pread(fd, buffer, sizeof buffer, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      file.note = "could not be read";
      break;
    }
    if (got == 0) break;
    copied += static_cast<std::uint64_t>(got);
    offset += got;
    if (copied > limit) {
      file.note = copied > maxFileSize_ ? "larger than the per-file limit" : "archive size limit reached";
      break;
    }
    if (EVP_DigestUpdate(digest.get(), buffer, static_cast<std::size_t>(got)) != 1 ||
        !writeAll(staged.get(), buffer, static_cast<std::size_t>(got))) {
      file.note = "could not be copied";
      break;
    }
  }
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned hashSize = 0;
  if (file.note.empty() && EVP_DigestFinal_ex(digest.get(), hash, &hashSize) != 1) file.note = "could not be copied";
  if (!file.note.empty()) {
    unlinkat(stagingFd_, stagedName.c_str(), 0);
    return;
  }
  file.size = copied;
  file.sha256 = toHex(hash, hashSize);
  file.stagedName = stagedName;
  file.archived = true;
  totalArchived_ += copied;
  // Distinct paths may give one entry name (an escaped byte against its literal
  // escape); later ones get a numbered suffix.
  const std::string base = "files/" + archiveEntryName(file.path);
  std::string entry = base;
  for (int n = 1; !entryNamesUsed_.insert(entry).second; ++n) entry = base + "~" + std::to_string(n);
  file.entryName = entry;
}

}  // namespace sifter
