#include "foundation/VxFileUtil.h"

#include <exception>
#include <limits>
#include <new>
#include <vector>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "foundation/VxNATypeConversion.h"
#include "platform/DelayedDelete.h"
#include "platform/ErrorCodes.h"
#include "platform/FileSystem.h"
#include "platform/LexicalPath.h"
#include "platform/SystemFolders.h"

static_assert(platform::kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(platform::kErrorPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(platform::kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(platform::kErrorInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(platform::kErrorDirNotEmpty == ERROR_DIR_NOT_EMPTY);
static_assert(platform::kErrorAlreadyExists == ERROR_ALREADY_EXISTS);
static_assert(platform::kErrorFilenameExcedRange == ERROR_FILENAME_EXCED_RANGE);
static_assert(platform::kErrorFileTooLarge == ERROR_FILE_TOO_LARGE);
static_assert(platform::kErrorDirectory == ERROR_DIRECTORY);

namespace {

constexpr wchar_t kLogSource[] = L"VxFileUtil";
constexpr wchar_t kRead[] = L"CVxFileUtil::Read";

// Shorter paths are roots ("/", and "C:\" where drive letters exist); the folder
// helpers never create or delete them.
constexpr std::size_t kShortestFolderPath = 4;

using platform::FileKind;
using platform::LinkPolicy;

// The system's form of a caller's path. Each refusal keeps the helpers from
// acting on another entry than the one named: a NUL would end the path early, a
// character that no file name can hold (a lone surrogate) would be replaced, and
// a path too long for the system would have to be cut.
std::uint32_t toSystemPath(const std::wstring& path, std::string& systemPath) {
  if (path.empty() || path.find(L'\0') != std::wstring::npos) return ERROR_INVALID_PARAMETER;
  systemPath = VxNATypeConversion::wideBufferToAnsiString(path);
  if (VxNATypeConversion::ansiBufferToWideString(systemPath) != path) {
    return ERROR_INVALID_PARAMETER;
  }
  if (systemPath.size() > platform::maximumPathLength()) return ERROR_FILENAME_EXCED_RANGE;
  return 0;
}

std::uint32_t toAbsoluteSystemPath(const std::wstring& path, std::string& absolute) {
  std::string systemPath;
  if (const std::uint32_t error = toSystemPath(path, systemPath); error != 0) return error;
  if (systemPath.front() != '/') {
    std::string current;
    if (const std::uint32_t error = platform::currentFolder(current); error != 0) return error;
    if (current.back() != '/') current.push_back('/');
    systemPath = current + systemPath;
  }
  if (systemPath.size() > platform::maximumPathLength()) return ERROR_FILENAME_EXCED_RANGE;
  absolute = std::move(systemPath);
  return 0;
}

bool isFolder(const std::string& path) {
  return platform::fileStatus(path, LinkPolicy::Follow).kind == FileKind::Folder;
}

bool isGone(std::uint32_t error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::uint32_t scheduleDelete(const std::string& absolutePath) {
  return platform::scheduleDelete(absolutePath);
}

// Outcome of removing one non-folder entry: removed, already gone, or recorded
// for later. Any other failure counts against the tree.
bool settleEntryRemoval(std::uint32_t error, const std::string& path) {
  if (error == 0 || isGone(error) || error == ERROR_INVALID_DRIVE) return true;
  return scheduleDelete(path) == 0;
}

// Outcome of removing a folder whose contents gave `walked`. A folder that was
// removed held nothing any more, whatever the walk met on the way. A folder that
// is still there for any other reason than denial or leftover contents means the
// tree was not removed.
bool settleFolderRemoval(std::uint32_t error, bool walked, const std::string& path) {
  if (error == 0) return true;
  if (isGone(error)) return walked;
  if (error == ERROR_ACCESS_DENIED || error == ERROR_DIR_NOT_EMPTY) {
    return walked && scheduleDelete(path) == 0;
  }
  return false;
}

bool emptyFolder(const platform::OpenFolder& folder, const std::string& path, bool recurse);

bool deleteSubfolder(const platform::OpenFolder& parent, const std::string& name,
                     const std::string& path, bool recurse) {
  platform::OpenFolder child;
  // A folder that cannot be opened (or has just turned into a link) is not
  // entered; its contents count as not removed.
  const bool walked = parent.openChild(name, child) == 0 && emptyFolder(child, path, recurse);
  return settleFolderRemoval(parent.removeEntry(name, true), walked, path);
}

bool emptyFolder(const platform::OpenFolder& folder, const std::string& path, bool recurse) {
  std::vector<platform::FolderEntry> entries;
  bool walked = folder.list(entries) == 0;
  for (const platform::FolderEntry& entry : entries) {
    const std::string entryPath = path + "/" + entry.name;
    if (entry.kind == FileKind::Folder) {
      if (recurse && !deleteSubfolder(folder, entry.name, entryPath, recurse)) walked = false;
    } else if (!settleEntryRemoval(folder.removeEntry(entry.name, false), entryPath)) {
      walked = false;
    }
  }
  return walked;
}

// Creates one level of a folder path; a non-folder in its place is removed first.
bool createOneFolder(const std::string& path) {
  if (path.size() < kShortestFolderPath) return false;
  const platform::FileStatus status = platform::fileStatus(path, LinkPolicy::DoNotFollow);
  if (status.error == 0 && status.kind != FileKind::Folder) {
    settleEntryRemoval(platform::removeFile(path), path);
  }
  const std::uint32_t error = platform::createFolder(path);
  // "Already exists" is success only when what exists is a folder.
  return error == 0 || (error == ERROR_ALREADY_EXISTS && isFolder(path));
}

}  // namespace

std::uint32_t CVxFileUtil::Read(const std::wstring& path, Buffer& buffer, std::uint32_t& size) {
  return Read(path, buffer, size, std::numeric_limits<std::uint32_t>::max());
}

std::uint32_t CVxFileUtil::Read(const std::wstring& path, Buffer& buffer, std::uint32_t& size,
                                std::uint32_t maxSize) {
  if (path.empty()) return ERROR_INVALID_PARAMETER;
  try {
    std::string systemPath;
    platform::ReadableFile file;
    if (toSystemPath(path, systemPath) != 0 || file.open(systemPath) != 0) {
      VX_LOG(VX_LOG_ERROR, kRead) << L"CVxFileUtil::Read - File is bad or Failed to open ";
      return ERROR_FILE_NOT_FOUND;
    }
    const std::uint64_t fileSize = file.size();
    if (fileSize > maxSize) {
      // The size travels as 32 bits: a cut size would silently drop the rest.
      VX_LOG(VX_LOG_ERROR, kRead) << L"CVxFileUtil::Read - File is too large, FileSize:"
                                  << fileSize;
      return ERROR_FILE_TOO_LARGE;
    }
    const auto length = static_cast<std::uint32_t>(fileSize);
    VX_LOG(VX_LOG_NORMAL, kRead) << L"CVxFileUtil::Read - FileSize:" << length;

    // Value-initialised: bytes past what is read stay 0, so the text always ends.
    Buffer bytes = std::make_shared<std::uint8_t[]>(std::size_t{length} + 1);
    std::size_t got = 0;
    if (const std::uint32_t error = file.read(bytes.get(), length, got); error != 0) {
      VX_LOG(VX_LOG_ERROR, kRead) << L"CVxFileUtil::Read - Failed to read the file:" << path
                                  << L"Exception:" << L"read failed with error " << error;
      return ERROR_FILE_CORRUPT;
    }
    size = length;
    buffer = std::move(bytes);
    return 0;
  } catch (const std::exception& exception) {
    VX_LOG(VX_LOG_ERROR, kRead) << L"CVxFileUtil::Read - Failed to read the file:" << path
                                << L"Exception:"
                                << VxNATypeConversion::ansiBufferToWideString(exception.what());
    return ERROR_FILE_CORRUPT;
  }
}

std::uint32_t pathExists(const std::wstring& path, bool wantFolder) {
  std::string systemPath;
  if (const std::uint32_t error = toSystemPath(path, systemPath); error != 0) return error;
  const platform::FileStatus status = platform::fileStatus(systemPath, LinkPolicy::Follow);
  if (status.error != 0) return status.error;
  const bool found = status.kind == FileKind::Folder;
  if (found != wantFolder) return wantFolder ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
  return 0;
}

std::uint32_t createFolderPath(const std::wstring& path) {
  std::string systemPath;
  if (const std::uint32_t error = toSystemPath(path, systemPath); error != 0) return error;
  if (isFolder(systemPath)) return ERROR_ALREADY_EXISTS;

  std::string absolute;
  if (const std::uint32_t error = toAbsoluteSystemPath(path, absolute); error != 0) return error;
  while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();

  // Outermost level first; levels that are folders already are passed over.
  for (std::size_t end = absolute.find('/', 1);; end = absolute.find('/', end + 1)) {
    const std::string level = absolute.substr(0, end);
    if (!level.empty() && level.back() != '/' && !isFolder(level) && !createOneFolder(level)) {
      return ERROR_CANNOT_MAKE;
    }
    if (end == std::string::npos) break;
  }
  return 0;
}

std::uint32_t deleteFolderTree(const std::wstring& folder, bool recurse) {
  if (folder.size() < kShortestFolderPath) return 0;
  std::string path;
  if (toAbsoluteSystemPath(folder, path) != 0) return 0;
  // From here on the normal form is both what is checked and what is acted on:
  // ".." taken on the text never climbs out through a link.
  path = platform::lexicallyNormalPath(path);
  if (platform::isSystemFolder(path)) return 0;

  // Earlier deletions that had to wait get their next chance first.
  retryPendingDeletes();

  const platform::FileStatus status = platform::fileStatus(path, LinkPolicy::DoNotFollow);
  if (status.kind == FileKind::Missing) return isGone(status.error) ? 1 : 0;
  if (status.kind == FileKind::SymbolicLink) {
    // The link is what the caller named; where it points is none of our business.
    return settleEntryRemoval(platform::removeFile(path), path) ? 1 : 0;
  }
  if (status.kind != FileKind::Folder) return 0;

  platform::OpenFolder top;
  bool walked = false;
  if (top.open(path) == 0) {
    // Another name for a protected folder (a link on the way) is caught here.
    if (top.isFileSystemRoot() || platform::isSystemFolder(top)) return 0;
    walked = emptyFolder(top, path, recurse);
  }
  return settleFolderRemoval(platform::removeEmptyFolder(path), walked, path) ? 1 : 0;
}

std::uint32_t deleteOnReboot(const std::wstring& path) {
  std::string absolute;
  if (const std::uint32_t error = toAbsoluteSystemPath(path, absolute); error != 0) return error;
  // A read-only file needs no preparing here: unlinking depends on its folder.
  return scheduleDelete(absolute);
}

VxNAResult<std::uint32_t> retryPendingDeletes() {
  const platform::DelayedDeleteOutcome outcome = platform::retryScheduledDeletes();
  if (outcome.error != 0) return VxNAFail(outcome.error);
  return static_cast<std::uint32_t>(outcome.pending);
}
