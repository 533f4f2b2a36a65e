#pragma once
// The settings of a file log, section "Config" of its two "log.ini" files (the
// global one in the log base folder, then the log's own one, which wins), each
// value a protected type-4 value (VxProtectedIniValue.h):
//
//   Enable      1       any        0 turns logging off
//   MaxSize     153600  25600..512000  bytes at which the current file is full
//   MaxEntries  3       2..10      files in the rotation
//   Severity    3       0..5       lowest severity written
//   Options     16      any        line fields (VxFileLogLine.h); 1 also sends
//                                  each line to the debugger output
//   LastLogIdx  0       any        the log's own file only: the current file
//
// A type-4 value outside its range is not used; the reader rewrites it in its
// file with the value in force at that point. Values of other types, and values
// whose stored form fails its checks, are left alone and not used.
//
// Stateless; callers serialise access to the files (the log's named mutex).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct VxFileLogSettings {
  std::uint32_t enable = 1;
  std::uint32_t maxSize = 153600;
  std::uint32_t maxEntries = 3;
  std::uint32_t severity = 3;
  std::uint32_t options = 16;
};

inline constexpr wchar_t kVxLogSettingsSection[] = L"Config";

// Reads both files; with `rewrite`, values out of range are rewritten as above.
// A file that does not exist gives nothing; when neither exists the defaults stand.
VxFileLogSettings readFileLogSettings(const std::string& globalFile, const std::string& logFile, bool rewrite);

// The accepted values of setting `key` (Enable, MaxSize, MaxEntries, Severity,
// Options; names compared as written); nullptr for any other name.
struct VxFileLogSettingRange {
  const wchar_t* key;
  std::uint32_t lowest;
  std::uint32_t highest;
};
const VxFileLogSettingRange* fileLogSettingRange(std::wstring_view key);

// A value in one of the two files that is not used, and why ("1000 is outside
// 25600..512000", "plain text, not enciphered", "damaged: it fails its checks",
// "cannot be checked: no MD5 from OpenSSL"). In the order of the table above,
// the global file's before the log's own.
struct VxFileLogUnusedValue {
  std::wstring key;
  std::string file;
  std::string why;
};
std::vector<VxFileLogUnusedValue> unusedFileLogValues(const std::string& globalFile, const std::string& logFile);

// LastLogIdx of the log's own file: 0 when missing or not a usable number.
std::uint32_t readLastLogIndex(const std::string& logFile);
std::uint32_t writeLastLogIndex(const std::string& logFile, std::uint32_t index);
