#include "platform/PrivateProfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "platform/UniqueFileDescriptor.h"
#include "platform/Utf8.h"

namespace platform {

namespace {

// Decodes UTF-8 without losing a byte of the file.
std::wstring decodeUtf8(const std::string& bytes, std::size_t start) {
  return platform::decodeUtf8(bytes.data() + start, bytes.size() - start);
}

// Decodes UTF-16LE, joining surrogate pairs; a lone surrogate is kept as it is.
std::wstring decodeUtf16Le(const std::string& bytes, std::size_t start) {
  std::wstring text;
  auto unit = [&](std::size_t i) {
    return static_cast<char32_t>(static_cast<unsigned char>(bytes[i]) |
                                 (static_cast<unsigned char>(bytes[i + 1]) << 8));
  };
  for (std::size_t i = start; i + 1 < bytes.size(); i += 2) {
    char32_t cp = unit(i);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 3 < bytes.size()) {
      const char32_t low = unit(i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    text.push_back(static_cast<wchar_t>(cp));
  }
  return text;
}

// The bytes of a regular settings file of at most the cap, or nothing.
std::optional<std::string> readSettingsBytes(const std::string& path) {
  // O_NONBLOCK: opening a pipe would otherwise wait for a writer.
  UniqueFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  if (static_cast<std::uint64_t>(status.st_size) > kPrivateProfileMaximumSize) return std::nullopt;
  // The file may grow while it is read: the buffer grows with it up to one byte
  // more than the cap, and filling that byte means the file is too large after all.
  constexpr std::size_t kLimit = kPrivateProfileMaximumSize + 1;
  std::string bytes(static_cast<std::size_t>(status.st_size) + 1, '\0');
  std::size_t got = 0;
  for (;;) {
    if (got == bytes.size()) {
      if (bytes.size() == kLimit) break;
      bytes.resize(std::min(bytes.size() * 2, kLimit));
    }
    const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > kPrivateProfileMaximumSize) return std::nullopt;
  bytes.resize(got);
  return bytes;
}

std::optional<std::wstring> readText(const std::string& path) {
  const std::optional<std::string> read = readSettingsBytes(path);
  if (!read) return std::nullopt;
  const std::string& bytes = *read;
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') return decodeUtf16Le(bytes, 2);
  if (bytes.starts_with("\xEF\xBB\xBF")) return decodeUtf8(bytes, 3);
  return decodeUtf8(bytes, 0);
}

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\v' || c == L'\f'; }

std::wstring_view trim(std::wstring_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

wchar_t foldAscii(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + 32) : c; }

bool equalsIgnoringCase(std::wstring_view a, std::wstring_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (foldAscii(a[i]) != foldAscii(b[i])) return false;
  }
  return true;
}

std::wstring_view unquote(std::wstring_view value) {
  if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') &&
      value.back() == value.front()) {
    value.remove_prefix(1);
    value.remove_suffix(1);
  }
  return value;
}

std::optional<std::wstring> findValue(const std::wstring& text, std::wstring_view section,
                                      std::wstring_view key) {
  const std::wstring_view wantedSection = trim(section);
  const std::wstring_view wantedKey = trim(key);
  bool inSection = false;
  std::size_t position = 0;
  while (position <= text.size()) {
    std::size_t end = text.find(L'\n', position);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring_view line = trim(std::wstring_view(text).substr(position, end - position));
    position = end + 1;
    if (line.empty() || line.front() == L';') continue;
    if (line.front() == L'[') {
      const std::size_t close = line.find(L']');
      const std::wstring_view name =
          trim(line.substr(1, close == std::wstring_view::npos ? line.size() - 1 : close - 1));
      inSection = equalsIgnoringCase(name, wantedSection);
      continue;
    }
    if (!inSection) continue;
    const std::size_t equals = line.find(L'=');
    if (equals == std::wstring_view::npos) continue;
    if (equalsIgnoringCase(trim(line.substr(0, equals)), wantedKey)) {
      return std::wstring(unquote(trim(line.substr(equals + 1))));
    }
  }
  return std::nullopt;
}

}  // namespace

std::uint32_t readPrivateProfileString(const std::string& path, std::wstring_view section,
                                       std::wstring_view key, std::wstring_view defaultValue,
                                       std::uint32_t bufferSize, std::wstring& value) {
  std::optional<std::wstring> found;
  if (const std::optional<std::wstring> text = readText(path)) found = findValue(*text, section, key);
  if (found) {
    value = std::move(*found);
  } else {
    std::wstring_view fallback = defaultValue;
    while (!fallback.empty() && fallback.back() == L' ') fallback.remove_suffix(1);
    value.assign(fallback);
  }
  if (bufferSize == 0) {
    value.clear();
    return 0;
  }
  if (value.size() > bufferSize - 1) value.resize(bufferSize - 1);
  return static_cast<std::uint32_t>(value.size());
}

}  // namespace platform
