#pragma once
// The one place where system error numbers (errno) become the Windows error codes
// that the rest of the component reports. The numbers below are the Win32
// ERROR_* values; the foundation's error-code header defines the same names for
// callers above this layer.
//
// Mapping (anything not listed becomes kErrorFunctionFailed, 1627, so that a
// failure is never reported as success and never as a misleading specific code):
//   ENOENT                -> 2 when the parent folder exists, else 3
//   EACCES, EPERM, EISDIR -> 5        EEXIST               -> 183
//   ENOTDIR               -> 267      ENOMEM               -> 8
//   ENAMETOOLONG          -> 206      ENOTEMPTY            -> 145
//   EBUSY, ETXTBSY        -> 170      EINVAL               -> 87
//   EMFILE, ENFILE        -> 4        ENOSPC, EDQUOT       -> 112
//   EROFS                 -> 19       ELOOP                -> 1921
//   EXDEV                 -> 17       EIO                  -> 1117
//   EFBIG                 -> 223      ENOSYS, EOPNOTSUPP   -> 50
//
// Stateless; safe from any thread.
#include <cstdint>
#include <string>

namespace platform {

inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorTooManyOpenFiles = 4;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorNotSameDevice = 17;
inline constexpr std::uint32_t kErrorWriteProtect = 19;
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorDiskFull = 112;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorDirNotEmpty = 145;
inline constexpr std::uint32_t kErrorBusy = 170;
inline constexpr std::uint32_t kErrorAlreadyExists = 183;
inline constexpr std::uint32_t kErrorFilenameExcedRange = 206;
inline constexpr std::uint32_t kErrorFileTooLarge = 223;
inline constexpr std::uint32_t kErrorDirectory = 267;
inline constexpr std::uint32_t kErrorIoDevice = 1117;
inline constexpr std::uint32_t kErrorFunctionFailed = 1627;
inline constexpr std::uint32_t kErrorResourceTypeNotFound = 1813;
inline constexpr std::uint32_t kErrorCantResolveFilename = 1921;

// The Windows code of a system error number.
std::uint32_t windowsErrorFromErrno(int error);

// As windowsErrorFromErrno, but ENOENT on `path` tells a missing last component
// (2) from a missing folder on the way (3), as Windows does.
std::uint32_t windowsErrorForPath(int error, const std::string& path);

// The Windows code of the calling thread's current errno.
std::uint32_t lastWindowsError();

}  // namespace platform
