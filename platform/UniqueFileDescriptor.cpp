#include "platform/UniqueFileDescriptor.h"

#include <unistd.h>

namespace platform {

void UniqueFileDescriptor::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

}  // namespace platform
