#pragma once
// Every error code the component returns: the Windows error numbers it uses and
// its own codes, defined once.
#include <cstdint>

inline constexpr std::uint32_t VX_ERROR_SUCCESS = 0;

// Windows error codes.
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_INVALID_DATA = 13;
inline constexpr std::uint32_t ERROR_OUTOFMEMORY = 14;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_BUSY = 170;
inline constexpr std::uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr std::uint32_t ERROR_MORE_DATA = 234;
inline constexpr std::uint32_t ERROR_CONTINUE = 1246;
inline constexpr std::uint32_t ERROR_INTERNAL_ERROR = 1359;
inline constexpr std::uint32_t ERROR_FUNCTION_FAILED = 1627;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERROR_NOT_READY = 21;
inline constexpr std::uint32_t ERROR_MOD_NOT_FOUND = 126;
inline constexpr std::uint32_t ERROR_PROC_NOT_FOUND = 127;
inline constexpr std::uint32_t ERROR_ALREADY_INITIALIZED = 1247;
inline constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr std::uint32_t ERROR_INVALID_DRIVE = 15;
inline constexpr std::uint32_t ERROR_BAD_LENGTH = 24;
inline constexpr std::uint32_t ERROR_CANNOT_MAKE = 82;
inline constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr std::uint32_t ERROR_DIR_NOT_EMPTY = 145;
inline constexpr std::uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr std::uint32_t ERROR_FILE_TOO_LARGE = 223;
inline constexpr std::uint32_t ERROR_DIRECTORY = 267;
inline constexpr std::uint32_t ERROR_FILE_CORRUPT = 1392;
inline constexpr std::uint32_t ERROR_NOT_FOUND = 1168;
inline constexpr std::uint32_t ERROR_NO_SUCH_LOGON_SESSION = 1312;
inline constexpr std::uint32_t ERROR_NO_SUCH_PRIVILEGE = 1313;
inline constexpr std::uint32_t ERROR_PRIVILEGE_NOT_HELD = 1314;
inline constexpr std::uint32_t ERROR_NONE_MAPPED = 1332;
inline constexpr std::uint32_t ERROR_INVALID_ENVIRONMENT = 1805;

// The component's own codes.
inline constexpr std::uint32_t VX_E_NOT_SUPPORTED = 0x42032B11;
inline constexpr std::uint32_t VX_E_TOO_MANY_PARAMETERS = 0x42032B12;
inline constexpr std::uint32_t VX_E_ALREADY_INITIALIZED = 0x42032B13;
inline constexpr std::uint32_t VX_E_NOT_INITIALIZED = 0x42032B14;
inline constexpr std::uint32_t VX_E_TYPE_NOT_RECOGNIZED = 0x42032B15;
inline constexpr std::uint32_t VX_E_SCAN_CANCELLED = 0x42032B16;
inline constexpr std::uint32_t VX_E_NOTHING_TO_CANCEL = 0x42032B17;
// The cipher of a protected settings value could not be set up.
inline constexpr std::uint32_t VX_E_CIPHER_SETUP = 6000;
// The file log: initialize on an initialised log, uninitialize on one that is not.
inline constexpr std::uint32_t VX_E_LOG_ALREADY_INITIALIZED = 20001;
inline constexpr std::uint32_t VX_E_LOG_NOT_INITIALIZED = 20002;
// Engine statuses map to VX_E_ENGINE_STATUS_BASE + status.
inline constexpr std::uint32_t VX_E_ENGINE_STATUS_BASE = 0x42032F10;
