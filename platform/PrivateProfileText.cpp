#include "platform/PrivateProfileText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/DebugOutput.h"
#include "platform/ErrorCodes.h"
#include "platform/FileSystem.h"
#include "platform/PrivateProfile.h"
#include "platform/TrustedFile.h"
#include "platform/UniqueFileDescriptor.h"
#include "platform/Utf16.h"
#include "platform/Utf8.h"

namespace platform {

namespace {

// The bytes of a regular settings file of at most the cap, read only when no
// other user could have written it (TrustedFile.h): settings steer what root does.
std::uint32_t readSettingsBytes(const std::string& path, std::string& bytes) {
  UniqueFileDescriptor fd;
  const TrustCheck check = openTrustedFile(absoluteProfilePath(path), O_RDONLY, 0, fd);
  if (check.fault == TrustFault::Missing) return windowsErrorForPath(ENOENT, path);
  if (check.fault == TrustFault::Failed) return check.windowsError();
  if (!check.ok()) {
    writeDebugOutput("settings file refused: " + check.describe());
    return kErrorAccessDenied;
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return lastWindowsError();
  if (static_cast<std::uint64_t>(status.st_size) > kPrivateProfileMaximumSize) return kErrorFileTooLarge;
  // The file may grow while it is read: the buffer grows with it up to one byte
  // more than the cap, and filling that byte means the file is too large after all.
  constexpr std::size_t kLimit = kPrivateProfileMaximumSize + 1;
  bytes.assign(static_cast<std::size_t>(status.st_size) + 1, '\0');
  std::size_t got = 0;
  for (;;) {
    if (got == bytes.size()) {
      if (bytes.size() == kLimit) break;
      bytes.resize(std::min(bytes.size() * 2, kLimit));
    }
    const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return lastWindowsError();
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > kPrivateProfileMaximumSize) return kErrorFileTooLarge;
  bytes.resize(got);
  return 0;
}

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\v' || c == L'\f'; }

wchar_t foldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

}  // namespace

std::string absoluteProfilePath(const std::string& path) {
  if (path.starts_with('/')) return path;
  std::string folder;
  return currentFolder(folder) == 0 ? folder + "/" + path : path;
}

ProfileLoad loadProfileText(const std::string& path) {
  ProfileLoad load;
  std::string bytes;
  load.error = readSettingsBytes(path, bytes);
  if (load.error != 0) return load;
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    load.content = {ProfileEncoding::Utf16Le, decodeUtf16Le(bytes.data() + 2, bytes.size() - 2)};
  } else if (bytes.starts_with("\xEF\xBB\xBF")) {
    load.content = {ProfileEncoding::Utf8WithMark, decodeUtf8(bytes.data() + 3, bytes.size() - 3)};
  } else {
    load.content = {ProfileEncoding::Utf8, decodeUtf8(bytes.data(), bytes.size())};
  }
  return load;
}

std::string encodeProfileText(const ProfileText& content) {
  switch (content.encoding) {
    case ProfileEncoding::Utf16Le:
      return "\xFF\xFE" + encodeUtf16Le(content.text);
    case ProfileEncoding::Utf8WithMark:
      return "\xEF\xBB\xBF" + encodeUtf8(content.text.data(), content.text.size());
    case ProfileEncoding::Utf8:
      break;
  }
  return encodeUtf8(content.text.data(), content.text.size());
}

std::wstring_view trimProfileBlanks(std::wstring_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool profileNamesEqual(std::wstring_view a, std::wstring_view b) {
  a = trimProfileBlanks(a);
  b = trimProfileBlanks(b);
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (foldAscii(a[i]) != foldAscii(b[i])) return false;
  }
  return true;
}

std::optional<std::wstring_view> profileSectionName(std::wstring_view line) {
  if (line.empty() || line.front() != L'[') return std::nullopt;
  const std::size_t close = line.find(L']');
  return trimProfileBlanks(line.substr(1, close == std::wstring_view::npos ? line.size() - 1 : close - 1));
}

std::optional<std::wstring_view> profileKeyName(std::wstring_view line) {
  if (line.empty() || line.front() == L';' || line.front() == L'[') return std::nullopt;
  const std::size_t equals = line.find(L'=');
  if (equals == std::wstring_view::npos) return std::nullopt;
  return trimProfileBlanks(line.substr(0, equals));
}

}  // namespace platform
