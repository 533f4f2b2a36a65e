#include "tools/sifter/FileAccess.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sifter {

namespace {

constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

OpenedFile reopenForReading(const platform::UniqueFileDescriptor& reference, const struct stat& expected) {
  OpenedFile opened;
  const std::string self = "/proc/self/fd/" + std::to_string(reference.get());
  platform::UniqueFileDescriptor fd(open(self.c_str(), kReadFlags));
  if (!fd.valid() || fstat(fd.get(), &opened.status) != 0) return {};
  if (!S_ISREG(opened.status.st_mode) || identityOf(opened.status) != identityOf(expected)) return {};
  opened.fd = std::move(fd);
  return opened;
}

}  // namespace

OpenedFile openRegularFileAt(int folderFd, const std::string& name) {
  platform::UniqueFileDescriptor reference(openat(folderFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!reference.valid() || fstat(reference.get(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
  return reopenForReading(reference, status);
}

OpenedFile openRegularFileFollowing(const std::string& path) {
  platform::UniqueFileDescriptor reference(open(path.c_str(), O_PATH | O_CLOEXEC));
  struct stat status {};
  if (!reference.valid() || fstat(reference.get(), &status) != 0 || !S_ISREG(status.st_mode)) return {};
  return reopenForReading(reference, status);
}

bool hasExecutableMagic(int fd) {
  unsigned char head[4] = {};
  ssize_t got;
  do {
    got = pread(fd, head, sizeof head, 0);
  } while (got < 0 && errno == EINTR);
  if (got >= 4 && std::memcmp(head, "\x7F" "ELF", 4) == 0) return true;
  return got >= 2 && head[0] == '#' && head[1] == '!';
}

}  // namespace sifter
