// Writing a settings file: the decoded text is edited line by line and written
// whole to a fresh file beside the old one, which is then renamed over it.
// Folder work goes through one descriptor of the file's folder (openat,
// renameat), so the new file lands in the folder that was checked even when the
// folder's name is changed meanwhile.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/DebugOutput.h"
#include "platform/ErrorCodes.h"
#include "platform/PrivateProfile.h"
#include "platform/PrivateProfileText.h"
#include "platform/RandomSource.h"
#include "platform/TrustedFile.h"
#include "platform/UniqueFileDescriptor.h"

namespace platform {

namespace {

struct Line {
  std::size_t start = 0;  // first character
  std::size_t end = 0;    // one past the line feed, or the end of the text
  std::wstring_view trimmed;
};

std::vector<Line> splitLines(const std::wstring& text) {
  std::vector<Line> lines;
  std::size_t position = 0;
  while (position < text.size()) {
    std::size_t feed = text.find(L'\n', position);
    const std::size_t end = feed == std::wstring::npos ? text.size() : feed + 1;
    const std::size_t contentEnd = feed == std::wstring::npos ? text.size() : feed;
    lines.push_back({position, end, trimProfileBlanks(std::wstring_view(text).substr(position, contentEnd - position))});
    position = end;
  }
  return lines;
}

// The file's own line end: "\r\n" when its first line ends so, else "\n".
std::wstring lineEndOf(const std::wstring& text) {
  const std::size_t feed = text.find(L'\n');
  return feed != std::wstring::npos && feed > 0 && text[feed - 1] == L'\r' ? L"\r\n" : L"\n";
}

bool hasLineBreak(std::wstring_view text) { return text.find_first_of(L"\r\n") != std::wstring_view::npos; }

// Applies one write to the text. Returns false when nothing had to change.
bool editText(std::wstring& text, std::wstring_view section, std::optional<std::wstring_view> key,
              std::optional<std::wstring_view> value) {
  const std::vector<Line> lines = splitLines(text);
  const std::wstring eol = lineEndOf(text);
  // The first section of that name is the one written, as readers take the first.
  std::size_t header = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (const auto name = profileSectionName(lines[i].trimmed); name && profileNamesEqual(*name, section)) {
      header = i;
      break;
    }
  }
  if (header == lines.size()) {
    if (!key || !value) return false;
    if (!text.empty() && text.back() != L'\n') text += eol;
    text += L"[" + std::wstring(section) + L"]" + eol + std::wstring(*key) + L"=" + std::wstring(*value) + eol;
    return true;
  }
  std::size_t sectionEnd = header + 1;
  while (sectionEnd < lines.size() && !profileSectionName(lines[sectionEnd].trimmed)) ++sectionEnd;
  if (!key) {
    const std::size_t to = sectionEnd < lines.size() ? lines[sectionEnd].start : text.size();
    text.erase(lines[header].start, to - lines[header].start);
    return true;
  }
  std::size_t lastContent = header;
  for (std::size_t i = header + 1; i < sectionEnd; ++i) {
    if (!lines[i].trimmed.empty()) lastContent = i;
    const auto name = profileKeyName(lines[i].trimmed);
    if (!name || !profileNamesEqual(*name, *key)) continue;
    const Line& line = lines[i];
    if (!value) {
      text.erase(line.start, line.end - line.start);
      return true;
    }
    // The line's own end ("\r\n", "\n" or none at the end of the file) stays.
    std::size_t contentEnd = line.end;
    if (contentEnd > line.start && text[contentEnd - 1] == L'\n') --contentEnd;
    if (contentEnd > line.start && text[contentEnd - 1] == L'\r') --contentEnd;
    text.replace(line.start, contentEnd - line.start, std::wstring(*key) + L"=" + std::wstring(*value));
    return true;
  }
  if (!value) return false;
  const Line& after = lines[lastContent];
  std::wstring insertion = std::wstring(*key) + L"=" + std::wstring(*value) + eol;
  std::size_t at = after.end;
  if (at == text.size() && !text.empty() && text.back() != L'\n') insertion = eol + insertion;
  text.insert(at, insertion);
  return true;
}

struct TargetFolder {
  UniqueFileDescriptor fd;
  std::string name;
};

// The settings file's folder, opened under the trust rule (TrustedFile.h): every
// component without a link, none of them another user's or open to others'
// writes. What is written there steers root.
std::uint32_t openTargetFolder(const std::string& path, TargetFolder& target) {
  const std::string absolute = absoluteProfilePath(path);
  const std::size_t slash = absolute.rfind('/');
  const std::string folder = slash == 0 ? "/" : absolute.substr(0, slash);
  target.name = absolute.substr(slash + 1);
  if (target.name.empty() || target.name == "." || target.name == "..") return kErrorInvalidParameter;
  const TrustCheck check = openTrustedFolder(folder, target.fd);
  if (check.fault == TrustFault::Missing) return windowsErrorForPath(ENOENT, folder);
  if (check.fault == TrustFault::Failed) return check.windowsError();
  if (!check.ok()) {
    writeDebugOutput("settings folder refused: " + check.describe());
    return kErrorAccessDenied;
  }
  return 0;
}

std::uint32_t writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      return lastWindowsError();
    }
    done += static_cast<std::size_t>(written);
  }
  return 0;
}

// A fresh file of an unused name in the folder.
std::uint32_t createTemporary(const TargetFolder& target, std::string& name, UniqueFileDescriptor& fd) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::uint32_t random = secureRandom32().value_or(static_cast<std::uint32_t>(attempt));
    name = "." + target.name + "." + std::to_string(::getpid()) + "." + std::to_string(random) + ".tmp";
    fd.reset(::openat(target.fd.get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.valid()) return 0;
    if (errno != EEXIST) return lastWindowsError();
  }
  return kErrorFunctionFailed;
}

std::uint32_t replaceContent(const TargetFolder& target, const std::string& bytes, const struct stat* old) {
  std::string temporary;
  UniqueFileDescriptor fd;
  if (const std::uint32_t error = createTemporary(target, temporary, fd); error != 0) return error;
  std::uint32_t error = writeAll(fd.get(), bytes);
  if (error == 0 && old != nullptr) {
    // The settings keep their owner and mode (the file passed the trust rule, so
    // the owner is root or this user); a caller that may not give the file
    // away still writes it, with its own ownership.
    const int owned = ::fchown(fd.get(), old->st_uid, old->st_gid);
    const int moded = ::fchmod(fd.get(), old->st_mode & 07777);
    static_cast<void>(owned);
    static_cast<void>(moded);
  }
  if (error == 0 && ::fsync(fd.get()) != 0) error = lastWindowsError();
  fd.reset();
  if (error == 0 && ::renameat(target.fd.get(), temporary.c_str(), target.fd.get(), target.name.c_str()) != 0) {
    error = lastWindowsError();
  }
  if (error != 0) ::unlinkat(target.fd.get(), temporary.c_str(), 0);
  return error;
}

}  // namespace

std::uint32_t writePrivateProfileString(const std::string& path, std::wstring_view section,
                                        std::optional<std::wstring_view> key,
                                        std::optional<std::wstring_view> value) {
  section = trimProfileBlanks(section);
  if (key) key = trimProfileBlanks(*key);
  if (section.empty() || (key && key->empty()) || hasLineBreak(section) || section.find(L']') != std::wstring_view::npos ||
      (key && (hasLineBreak(*key) || key->find(L'=') != std::wstring_view::npos)) || (value && hasLineBreak(*value))) {
    return kErrorInvalidParameter;
  }
  TargetFolder target;
  if (const std::uint32_t error = openTargetFolder(path, target); error != 0) return error;

  struct stat status {};
  const bool exists = ::fstatat(target.fd.get(), target.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) return lastWindowsError();
  ProfileText content;
  if (exists) {
    if (!S_ISREG(status.st_mode)) return kErrorAccessDenied;
    const ProfileLoad load = loadProfileText(path);
    if (load.error != 0) return load.error == kErrorFileNotFound ? kErrorAccessDenied : load.error;
    content = load.content;
  }
  if (!editText(content.text, section, key, value)) return 0;
  return replaceContent(target, encodeProfileText(content), exists ? &status : nullptr);
}

}  // namespace platform
