#pragma once
// UniqueFileDescriptor: sole owner of one open file descriptor, closed when the
// owner goes, so that no early return of the file helpers leaks a descriptor.
// Move-only.
//
// Thread-safety: none of its own; one owner at a time.
#include <utility>

namespace platform {

class UniqueFileDescriptor {
 public:
  UniqueFileDescriptor() = default;
  explicit UniqueFileDescriptor(int fd) : fd_(fd) {}
  ~UniqueFileDescriptor() { reset(); }
  UniqueFileDescriptor(UniqueFileDescriptor&& other) noexcept : fd_(other.release()) {}
  UniqueFileDescriptor& operator=(UniqueFileDescriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFileDescriptor(const UniqueFileDescriptor&) = delete;
  UniqueFileDescriptor& operator=(const UniqueFileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace platform
