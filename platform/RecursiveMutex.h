#pragma once
// The lock every component guards its state with. Like a Win32 mutex it may be
// taken again by the thread that holds it, which the kernel relies on (its scanner
// preparation runs under the kernel lock and calls routines that take it again).
//
// Holders keep it for a short while only, so a thread that finds it taken spins
// for a moment before it sleeps, as a Win32 critical section does: with more scan
// threads than processors, sleeping at once costs two context switches for a wait
// that is usually shorter than one.
//
// Meets the Lockable requirements (std::lock_guard, std::unique_lock).
#include <pthread.h>

#include <atomic>
#include <mutex>
#include <thread>

namespace platform {

class RecursiveMutex {
 public:
  RecursiveMutex() noexcept {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ADAPTIVE_NP);
    pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
  }
  ~RecursiveMutex() { pthread_mutex_destroy(&mutex_); }
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void lock() {
    if (heldHere()) {
      ++depth_;
      return;
    }
    pthread_mutex_lock(&mutex_);
    take();
  }
  bool try_lock() {
    if (heldHere()) {
      ++depth_;
      return true;
    }
    if (pthread_mutex_trylock(&mutex_) != 0) return false;
    take();
    return true;
  }
  void unlock() {
    if (--depth_ != 0) return;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    pthread_mutex_unlock(&mutex_);
  }

 private:
  // Only the holder can find its own id here; any other thread sees another id
  // or none, whatever the ordering of the load.
  bool heldHere() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }
  void take() {
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    depth_ = 1;
  }

  pthread_mutex_t mutex_;
  std::atomic<std::thread::id> owner_{};
  unsigned depth_ = 0;  // touched by the holder only
};

using RecursiveLock = std::unique_lock<RecursiveMutex>;

}  // namespace platform
