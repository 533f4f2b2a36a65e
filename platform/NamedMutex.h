#pragma once
// NamedMutex: a mutex shared by every process that uses the same name, the
// stand-in for a named Win32 mutex. It is an flock lock on a lock file
// "<folder>/<name>.lock": the kernel drops the lock of a process that ends, so a
// writer that crashed while holding it never blocks the others, unlike a lock
// kept in shared memory.
//
// flock locks belong to an open file: every lock() opens the file anew, so two
// NamedMutex objects of one name also exclude each other inside one process, and
// a lock file that was deleted and made again is never held by two at once
// without noticing (both would lock the file they can see now).
//
// The lock file is opened under the trust rule (TrustedFile.h): no component a
// symbolic link, the file and its folders root's or this user's and open to
// nobody else's writes. It is owner-only (0600): locking needs no more than
// reading, so a lock file others could read is one they could hold for ever and
// stall every holder; one left readable by an older version is made anew.
//
// Thread-safety: one NamedMutex object belongs to one thread at a time; use one
// object per thread, or guard it, to share the name between threads.
#include <chrono>
#include <string>

#include "platform/UniqueFileDescriptor.h"

namespace platform {

class NamedMutex {
 public:
  NamedMutex(std::string folder, std::string name);
  ~NamedMutex() { unlock(); }
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Waits at most `timeout` for the lock. True when it is held; false when the
  // time ran out or the lock file cannot be had (its folder missing, no rights).
  bool lock(std::chrono::milliseconds timeout);
  // Releases a held lock; nothing otherwise.
  void unlock();
  bool held() const { return fd_.valid(); }
  // Why the last lock() could not use the lock file; empty when it could.
  const std::string& refusal() const { return refusal_; }
  const std::string& lockFilePath() const { return path_; }

 private:
  std::string folder_;
  std::string fileName_;
  std::string path_;
  bool openLockFile(UniqueFileDescriptor& fd);

  UniqueFileDescriptor fd_;
  std::string refusal_;
};

}  // namespace platform
