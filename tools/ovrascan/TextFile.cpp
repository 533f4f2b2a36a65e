#include "tools/ovrascan/TextFile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/Utf8.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

std::string reason(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
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
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      errno = EISDIR;
      return reason("cannot write", path);
    }
    return access(path.c_str(), W_OK) == 0 ? std::string() : reason("cannot write", path);
  }
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  return access(folder.c_str(), W_OK | X_OK) == 0 ? std::string() : reason("cannot write", path);
}

std::string write(const std::string& path, const std::string& bytes) {
  UniqueFile file(std::fopen(path.c_str(), "wb"));
  if (!file) return reason("cannot write", path);
  if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return reason("cannot write", path);
  if (std::fclose(file.release()) != 0) return reason("cannot write", path);
  return {};
}

}  // namespace TextFile
