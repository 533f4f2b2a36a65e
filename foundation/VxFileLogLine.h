#pragma once
// One line of a log file:
//
//   03/07/2013 09:05:01 PM$ -- (Information)$ [   Ovrascan.dll]$ text\r\n
//
// The time stamp (12-hour clock, two-digit fields, the year as it is) and the
// severity name in brackets come first; then, each after one blank and only when
// its option bit is set:
//   16  "[module]$"             module name, first 15 characters, right-aligned in 15
//    4  "[PID:%5d TID:%5d]$"
//    8  "[file:%5d]$"           source name after its last "\" or "/", first 20
//                               characters, right-aligned in 20, and the line
//   32  "[function()]$"         first 40 characters, right-aligned in 40
// A field without its text (no module, file or function) is empty, its blank
// stays. Then one blank, the message, and "\r\n" unless the message already
// ends with a line feed.
//
// Stateless; safe from any thread.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/LocalTime.h"

inline constexpr std::uint32_t kVxLogOptionDebugOutput = 1;
inline constexpr std::uint32_t kVxLogOptionProcessThread = 4;
inline constexpr std::uint32_t kVxLogOptionFileLine = 8;
inline constexpr std::uint32_t kVxLogOptionModule = 16;
inline constexpr std::uint32_t kVxLogOptionFunction = 32;

struct VxFileLogLineFields {
  platform::LocalTime time;
  std::uint32_t severity = 0;
  std::uint32_t options = 0;
  const wchar_t* module = nullptr;
  std::uint32_t processId = 0;
  std::uint32_t threadId = 0;
  const wchar_t* file = nullptr;
  std::uint32_t line = 0;
  const wchar_t* function = nullptr;
  std::wstring_view message;
};

// "Normal" .. "Critical" for 1..5, "" otherwise.
const wchar_t* vxLogSeverityName(std::uint32_t severity);

std::wstring formatFileLogLine(const VxFileLogLineFields& fields);
