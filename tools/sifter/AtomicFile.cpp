#include "tools/sifter/AtomicFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/UniqueFileDescriptor.h"

namespace sifter {

std::string writeFileAtomically(int folderFd, const std::string& name, const std::string& bytes) {
  const std::string temporary = "." + name + "." + std::to_string(getpid()) + ".tmp";
  // A leftover of a crashed run of the same process id is ours to replace.
  unlinkat(folderFd, temporary.c_str(), 0);
  platform::UniqueFileDescriptor file(
      openat(folderFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) return "cannot create " + temporary + ": " + std::strerror(errno);
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t written = write(file.get(), data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      const std::string problem = "cannot write " + temporary + ": " + std::strerror(errno);
      unlinkat(folderFd, temporary.c_str(), 0);
      return problem;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
  if (fsync(file.get()) != 0 || renameat(folderFd, temporary.c_str(), folderFd, name.c_str()) != 0) {
    const std::string problem = "cannot store " + name + ": " + std::strerror(errno);
    unlinkat(folderFd, temporary.c_str(), 0);
    return problem;
  }
  return {};
}

}  // namespace sifter
