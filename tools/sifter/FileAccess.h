#pragma once
// Opening files that other users control without being led anywhere else: the
// entry is first opened as a bare reference (O_PATH, links not followed), its type
// is checked on that reference, and only a regular file is then opened for
// reading, through /proc/self/fd, so the descriptor read is the very inode that was
// checked. A link, a pipe, a device or a socket is never opened for reading, so
// no open has side effects and none blocks.
//
// Stateless; safe from any thread.
#include <sys/stat.h>
#include <sys/types.h>

#include <compare>
#include <string>

#include "platform/UniqueFileDescriptor.h"

namespace sifter {

struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  auto operator<=>(const FileIdentity&) const = default;
};

inline FileIdentity identityOf(const struct stat& status) { return {status.st_dev, status.st_ino}; }

struct OpenedFile {
  platform::UniqueFileDescriptor fd;  // invalid when the entry was refused or vanished
  struct stat status {};
};

// Opens the entry name of the folder folderFd for reading when it is a regular
// file; name must be a single component.
OpenedFile openRegularFileAt(int folderFd, const std::string& name);
// Opens path, following it (for /proc/<pid>/exe, whose link is the point), when
// what it reaches is a regular file.
OpenedFile openRegularFileFollowing(const std::string& path);

// True when the file starts like something the system runs: an ELF image or a
// "#!" script.
bool hasExecutableMagic(int fd);

}  // namespace sifter
