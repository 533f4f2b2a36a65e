#include "platform/NamedMutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace platform {

NamedMutex::NamedMutex(std::string folder, std::string name)
    : folder_(std::move(folder)), fileName_(std::move(name) + ".lock"), path_(folder_ + "/" + fileName_) {}

bool NamedMutex::lock(std::chrono::milliseconds timeout) {
  unlock();
  UniqueFileDescriptor folder(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!folder.valid()) return false;
  UniqueFileDescriptor fd(
      ::openat(folder.get(), fileName_.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644));
  if (!fd.valid()) return false;
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return false;

  // flock has no time-out of its own: a non-blocking attempt is repeated with a
  // growing pause (up to 10 ms) until the limit. Holders keep the lock for one
  // line's write, so the pause stays short in practice.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto pause = std::chrono::microseconds(50);
  for (;;) {
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) {
      fd_ = std::move(fd);
      return true;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
    pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(10));
  }
}

void NamedMutex::unlock() {
  if (!fd_.valid()) return;
  ::flock(fd_.get(), LOCK_UN);
  fd_.reset();
}

}  // namespace platform
