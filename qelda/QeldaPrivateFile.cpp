#include "qelda/QeldaPrivateFile.h"

#include "qelda/QeldaFd.h"
#include "qelda/QeldaFileChunks.h"
#include "qelda/QeldaNoFollowPath.h"

#include <fcntl.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>

namespace qelda {
namespace {

// A folder others could write to would let them plant the file we trust.
int checkFolder(int folder) {
  struct stat info {};
  if (::fstat(folder, &info) != 0) return errno;
  const bool owned = info.st_uid == ::geteuid() || info.st_uid == 0;
  return owned && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 ? 0 : EPERM;
}

int openVexora(const std::string& machine, bool create, Fd& vexora) {
  Fd folder;
  int opened = openFolderNoFollow(privateMachineFolder(machine), folder);
  // Made with its parents, as the logs make theirs, so that a machine folder
  // named but not yet made does not leave the engine without its files.
  if (opened == ENOENT && create) opened = makeFolderNoFollow(privateMachineFolder(machine), 0755, folder);
  if (opened != 0) return opened;
  if (const int error = checkFolder(folder.get())) return error;
  if (create) {
    if (const int error = openOrMakeFolderAt(folder.get(), "Vexora", 0755, vexora)) return error;
  } else {
    vexora.reset(::openat(folder.get(), "Vexora", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!vexora.valid()) return errno;
  }
  return checkFolder(vexora.get());
}

int readAll(int fd, std::size_t size, std::vector<std::uint8_t>& data) {
  data.assign(size, 0);
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, data.data() + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EBADMSG;
    got += static_cast<std::size_t>(n);
  }
  return 0;
}

std::string temporaryName(const char* name) {
  std::array<unsigned char, 8> random{};
  if (RAND_bytes(random.data(), static_cast<int>(random.size())) != 1) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string temporary = std::string(name) + "." + std::to_string(::getpid()) + "-";
  for (const unsigned char byte : random) {
    temporary += kDigits[byte >> 4];
    temporary += kDigits[byte & 15];
  }
  return temporary + ".tmp";
}

}  // namespace

std::string privateMachineFolder(const std::string& machine) {
  if (!machine.empty()) return machine;
  const char* fromEnvironment = std::getenv("VX_MACHINE_DIR");
  return (fromEnvironment != nullptr && *fromEnvironment != '\0') ? fromEnvironment : "/var/lib";
}

std::string privateFilePath(const std::string& machine, const char* name) {
  return privateMachineFolder(machine) + "/Vexora/" + name;
}

int readPrivateFile(const std::string& machine, const char* name, std::uint64_t largest,
                    std::vector<std::uint8_t>& data) {
  Fd vexora;
  if (const int error = openVexora(machine, false, vexora)) return error;
  Fd file(::openat(vexora.get(), name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.valid()) return errno;
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return EBADMSG;
  if (info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) return EPERM;
  if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > largest) return EBADMSG;
  return readAll(file.get(), static_cast<std::size_t>(info.st_size), data);
}

int preparePrivateFolder(const std::string& machine) {
  Fd vexora;
  if (const int error = openVexora(machine, true, vexora)) return error;
  return ::faccessat(vexora.get(), ".", W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

int writePrivateFile(const std::string& machine, const char* name, const std::vector<std::uint8_t>& data) {
  Fd vexora;
  if (const int error = openVexora(machine, true, vexora)) return error;
  const std::string temporary = temporaryName(name);
  if (temporary.empty()) return EIO;
  Fd file(::openat(vexora.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) return errno;
  int error = ::fchmod(file.get(), 0600) != 0 ? errno : 0;
  if (error == 0) error = writeFullyAt(file.get(), data.data(), data.size(), 0);
  if (error == 0 && ::renameat(vexora.get(), temporary.c_str(), vexora.get(), name) != 0) error = errno;
  if (error != 0) ::unlinkat(vexora.get(), temporary.c_str(), 0);
  return error;
}

int removePrivateFile(const std::string& machine, const char* name) {
  Fd vexora;
  if (const int error = openVexora(machine, false, vexora)) return error == ENOENT ? 0 : error;
  if (::unlinkat(vexora.get(), name, 0) != 0 && errno != ENOENT) return errno;
  ::fsync(vexora.get());
  return 0;
}

}  // namespace qelda
