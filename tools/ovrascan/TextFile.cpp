#include "tools/ovrascan/TextFile.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/UniqueFileDescriptor.h"
#include "platform/Utf8.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

std::string reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

constexpr int kTemporaryNameAttempts = 16;

// Opens the folder that holds the last component of `path`, one component at a
// time and never through a symbolic link, and gives that component's name.
std::string openFolderOf(const std::string& path, platform::UniqueFileDescriptor& folder, std::string& name) {
  const std::size_t slash = path.rfind('/');
  name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") {
    errno = EISDIR;
    return reason("cannot write", path);
  }
  folder.reset(open(path.starts_with('/') ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) return reason("cannot write", path);
  if (slash == std::string::npos) return {};
  std::size_t begin = 0;
  while (begin < slash) {
    std::size_t end = path.find('/', begin);
    if (end > slash) end = slash;
    const std::string component = path.substr(begin, end - begin);
    begin = end + 1;
    if (component.empty() || component == ".") continue;
    platform::UniqueFileDescriptor next(
        openat(folder.get(), component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) {
      struct stat info {};
      if ((errno == ELOOP || errno == ENOTDIR) && fstatat(folder.get(), component.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(info.st_mode)) {
        return "cannot write " + path + ": " + path.substr(0, end) + " is a symbolic link (not followed)";
      }
      return reason("cannot write", path);
    }
    folder = std::move(next);
  }
  return {};
}

// A name no one else would choose, hidden from a plain ls.
std::string temporaryName() {
  std::uint64_t random = 0;
  if (getrandom(&random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
    random = static_cast<std::uint64_t>(getpid()) << 32 ^
             static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  char text[48];
  std::snprintf(text, sizeof text, ".ovrascan-%016llx.tmp", static_cast<unsigned long long>(random));
  return text;
}

int writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(written);
  }
  return 0;
}

}  // namespace

namespace TextFile {

std::string readUtf8(const std::string& path, std::wstring& text) {
  UniqueFile file(std::fopen(path.c_str(), "rb"));
  if (!file) return reason("cannot read", path);
  std::string bytes;
  char buffer[65536];
  for (;;) {
    const std::size_t got = std::fread(buffer, 1, sizeof buffer, file.get());
    bytes.append(buffer, got);
    if (got < sizeof buffer) break;
  }
  if (std::ferror(file.get())) return reason("cannot read", path);
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  const std::size_t start = bytes.compare(0, kBom.size(), kBom) == 0 ? kBom.size() : 0;
  text = platform::decodeUtf8(bytes.data() + start, bytes.size() - start);
  return {};
}

std::string checkWritable(const std::string& path) {
  std::string name;
  platform::UniqueFileDescriptor folder;
  if (std::string failure = openFolderOf(path, folder, name); !failure.empty()) return failure;
  struct stat info {};
  if (fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return reason("cannot write", path);
  }
  // The new file is made in the folder, so the folder must take it.
  if (faccessat(folder.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) return reason("cannot write", path);
  return {};
}

std::string write(const std::string& path, const std::string& bytes) {
  std::string name;
  platform::UniqueFileDescriptor folder;
  if (std::string failure = openFolderOf(path, folder, name); !failure.empty()) return failure;
  std::string temporary;
  platform::UniqueFileDescriptor file;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && !file.valid(); ++attempt) {
    temporary = temporaryName();
    file.reset(openat(folder.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!file.valid() && errno != EEXIST) break;
  }
  if (!file.valid()) return reason("cannot write", path);
  int error = writeAll(file.get(), bytes);
  if (error == 0 && fsync(file.get()) != 0) error = errno;
  if (close(file.release()) != 0 && error == 0) error = errno;
  if (error == 0 && renameat(folder.get(), temporary.c_str(), folder.get(), name.c_str()) != 0) error = errno;
  if (error != 0) {
    unlinkat(folder.get(), temporary.c_str(), 0);
    errno = error;
    return reason("cannot write", path);
  }
  // The rename itself reaches the disk with the folder; a folder that cannot be
  // synced (some file systems refuse) still holds the complete new file.
  fsync(folder.get());
  return {};
}

}  // namespace TextFile
