/*
 * Fd: the owner of one file descriptor of the engine library. The library depends
 * on nothing of the product but the engine interface header, so it keeps this
 * small owner of its own.
 *
 * Movable, not copyable; closes what it owns when destroyed or reset. One owner
 * per descriptor; an Fd is used by one thread at a time.
 */
#ifndef QELDA_FD_H
#define QELDA_FD_H

#include <unistd.h>

#include <utility>

namespace qelda {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) noexcept : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace qelda

#endif
