#include "qelda/QeldaFileChunks.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace qelda {
namespace {

struct Region {
  std::uint64_t end = 0;
  bool hole = false;
};

// The data or hole region starting at `offset`. A file system that cannot tell
// holes (EINVAL) is all data; ENXIO from SEEK_DATA means only a hole follows.
Region regionAt(int fd, std::uint64_t offset, std::uint64_t size) {
  const off_t data = ::lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
  if (data < 0) return errno == ENXIO ? Region{size, true} : Region{size, false};
  if (static_cast<std::uint64_t>(data) > offset) return {std::min<std::uint64_t>(data, size), true};
  const off_t hole = ::lseek(fd, static_cast<off_t>(offset), SEEK_HOLE);
  if (hole <= static_cast<off_t>(offset)) return {size, false};
  return {std::min<std::uint64_t>(hole, size), false};
}

int readFully(int fd, std::uint8_t* buffer, std::size_t length, std::uint64_t offset) {
  for (std::size_t got = 0; got < length;) {
    const ssize_t n = ::pread(fd, buffer + got, length - got, static_cast<off_t>(offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ESTALE;
    got += static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace

int readInChunks(int fd, std::uint64_t size, const KeepGoing& keepGoing, const ChunkVisitor& visit) {
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(size, kChunkSize)));
  Region region;
  for (std::uint64_t offset = 0; offset < size;) {
    if (keepGoing && !keepGoing()) return ECANCELED;
    if (offset >= region.end) region = regionAt(fd, offset, size);
    const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(region.end - offset, kChunkSize));
    if (region.hole) {
      if (const int error = visit(offset, nullptr, length)) return error;
    } else {
      if (const int error = readFully(fd, buffer.data(), length, offset)) return error;
      if (const int error = visit(offset, buffer.data(), length)) return error;
    }
    offset += length;
  }
  return 0;
}

int writeFullyAt(int fd, const std::uint8_t* data, std::size_t length, std::uint64_t offset) {
  for (std::size_t done = 0; done < length;) {
    const ssize_t put = ::pwrite(fd, data + done, length - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return errno;
    done += static_cast<std::size_t>(put);
  }
  return 0;
}

}  // namespace qelda
