#include "platform/NamedMutex.h"

#include "platform/DebugOutput.h"
#include "platform/TrustedFile.h"

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

bool NamedMutex::openLockFile(UniqueFileDescriptor& fd) {
  // A lock file that others can open is one they can lock, and hold for ever:
  // it is owner-only, and one an older version left readable is made anew (a
  // descriptor someone opened while it was readable keeps that old file).
  for (int attempt = 0; attempt < 2; ++attempt) {
    const TrustCheck check = openTrustedFile(path_, O_RDONLY | O_CREAT, 0600, fd);
    if (!check.ok()) {
      // Said once per refusal, not on every attempt.
      if (std::string why = check.describe(); why != refusal_) {
        refusal_ = std::move(why);
        writeDebugOutput("lock file refused: " + refusal_);
      }
      return false;
    }
    refusal_.clear();
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return false;
    if ((status.st_mode & (S_IRWXG | S_IRWXO)) == 0) return true;
    fd.reset();
    // The folders passed the trust rule: nobody else can swap the entry now.
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) return false;
  }
  return false;
}

bool NamedMutex::lock(std::chrono::milliseconds timeout) {
  unlock();
  UniqueFileDescriptor fd;
  if (!openLockFile(fd)) return false;

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
