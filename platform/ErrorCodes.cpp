#include "platform/ErrorCodes.h"

#include <sys/stat.h>

#include <cerrno>
#include <string_view>

namespace platform {

std::uint32_t windowsErrorFromErrno(int error) {
  switch (error) {
    case 0: return 0;
    case ENOENT: return kErrorFileNotFound;
    case EACCES:
    case EPERM:
    case EISDIR: return kErrorAccessDenied;
    case EEXIST: return kErrorAlreadyExists;
    case ENOTDIR: return kErrorDirectory;
    case ENOMEM: return kErrorNotEnoughMemory;
    case ENAMETOOLONG: return kErrorFilenameExcedRange;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case EBUSY:
    case ETXTBSY: return kErrorBusy;
    case EINVAL: return kErrorInvalidParameter;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case EROFS: return kErrorWriteProtect;
    case ELOOP: return kErrorCantResolveFilename;
    case EXDEV: return kErrorNotSameDevice;
    case EIO: return kErrorIoDevice;
    case EFBIG: return kErrorFileTooLarge;
    case ENOSYS:
    case EOPNOTSUPP: return kErrorNotSupported;
    default: return kErrorFunctionFailed;
  }
}

std::uint32_t windowsErrorForPath(int error, const std::string& path) {
  if (error != ENOENT) return windowsErrorFromErrno(error);
  // Windows says "file not found" only when the folder that should hold the
  // entry exists; otherwise the path itself is broken.
  std::string_view trimmed(path);
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.remove_suffix(1);
  const std::size_t slash = trimmed.rfind('/');
  const std::string parent =
      slash == std::string_view::npos ? std::string(".")
                                      : std::string(trimmed.substr(0, slash == 0 ? 1 : slash));
  struct stat status {};
  if (::stat(parent.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return kErrorFileNotFound;
  return kErrorPathNotFound;
}

std::uint32_t lastWindowsError() { return windowsErrorFromErrno(errno); }

}  // namespace platform
