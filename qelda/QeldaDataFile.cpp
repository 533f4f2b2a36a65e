#include "qelda/QeldaDataFile.h"

#include "engine/VxAVEngineABI.h"
#include "qelda/QeldaTrustedDataFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace qelda {
namespace {

std::string absolutePath(const std::string& path) {
  if (path.starts_with('/')) return path;
  char folder[PATH_MAX];
  if (::getcwd(folder, sizeof folder) == nullptr) return path;
  return std::string(folder) + "/" + path;
}

}  // namespace

DataFileText readDataFile(const std::string& path, std::uint64_t largest) {
  if (path.empty()) return {std::nullopt, AV_DATA_FILE_MISSING};
  // Only a file no other user could have written is read (QeldaTrustedDataFile.h).
  Fd file;
  struct stat opened {};
  if (const std::uint16_t reason = openTrustedDataFile(absolutePath(path), file, opened)) return {std::nullopt, reason};
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
