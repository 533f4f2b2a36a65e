#include "qelda/QeldaDataFile.h"

#include "engine/VxAVEngineABI.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qelda {
namespace {

std::uint16_t reasonOf(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR: return AV_DATA_FILE_MISSING;
    case ELOOP:
    case ENXIO:
    case EISDIR: return AV_DATA_FILE_NOT_REGULAR;
    default: return AV_DATA_FILE_UNREADABLE;
  }
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool sameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

DataFileText readDataFile(const std::string& path, std::uint64_t largest) {
  // The type is checked before the file is opened for reading, so that no FIFO
  // or device is ever opened; the open then must reach the inode that was checked.
  struct stat named {};
  if (::lstat(path.c_str(), &named) != 0) return {std::nullopt, reasonOf(errno)};
  if (!S_ISREG(named.st_mode)) return {std::nullopt, AV_DATA_FILE_NOT_REGULAR};
  const Descriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.get() < 0) return {std::nullopt, reasonOf(errno)};
  struct stat opened {};
  if (::fstat(file.get(), &opened) != 0) return {std::nullopt, AV_DATA_FILE_UNREADABLE};
  if (!S_ISREG(opened.st_mode) || !sameInode(named, opened)) return {std::nullopt, AV_DATA_FILE_NOT_REGULAR};
  if (static_cast<std::uint64_t>(opened.st_size) > largest) return {std::nullopt, AV_DATA_FILE_TOO_LARGE};

  std::string text(static_cast<std::size_t>(opened.st_size), '\0');
  std::size_t filled = 0;
  for (;;) {
    // One byte more than the size seen: a file that grew is read to its end or cap.
    if (filled == text.size()) {
      if (text.size() > largest) return {std::nullopt, AV_DATA_FILE_TOO_LARGE};
      text.resize(text.size() + 4096);
    }
    const ssize_t got = ::read(file.get(), text.data() + filled, text.size() - filled);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return {std::nullopt, AV_DATA_FILE_UNREADABLE};
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  text.resize(filled);
  if (text.size() > largest) return {std::nullopt, AV_DATA_FILE_TOO_LARGE};
  return {std::move(text), 0};
}

}  // namespace qelda
