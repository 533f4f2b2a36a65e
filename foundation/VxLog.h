#pragma once
// CVxLog<CVxFileLog>: the interface of the log back end that finished log
// statements are handed to. The file back end (CVxFileLog) filters by severity and
// writes rotating files; tests install a back end of their own. Slot order is
// fixed: destructor, write, initialize, uninitialize, logNormal, logError,
// logWarning, logCritical, logInformation, isLogged, AddRef, Release.
//
// Implementations must be safe to call from several threads at once; the
// reference count is atomic.
#include <cstdint>

// Severities of a log statement.
enum VxLogSeverity : std::uint32_t {
  VX_LOG_NORMAL = 1,
  VX_LOG_WARNING = 2,
  VX_LOG_INFORMATION = 3,
  VX_LOG_ERROR = 4,
  VX_LOG_CRITICAL = 5,
};

// The printf conversion of one wide string. Windows' wide printf reads "%s" as a
// wide string; POSIX' needs "%ls".
#define VX_LOG_WIDE_STRING_FORMAT L"%ls"

class CVxFileLog;

template <class Backend>
class CVxLog {
 public:
  virtual ~CVxLog() = default;
  virtual std::uint32_t write(const wchar_t* file, const wchar_t* function, std::uint32_t line,
                              std::uint32_t severity, const wchar_t* message) = 0;
  virtual std::uint32_t initialize(const wchar_t* logName, const void* module,
                                   const wchar_t* suffix) = 0;
  virtual std::uint32_t uninitialize() = 0;
  virtual std::uint32_t logNormal(const wchar_t* file, const wchar_t* function,
                                  std::uint32_t line, const wchar_t* format, ...) = 0;
  virtual std::uint32_t logError(const wchar_t* file, const wchar_t* function, std::uint32_t line,
                                 const wchar_t* format, ...) = 0;
  virtual std::uint32_t logWarning(const wchar_t* file, const wchar_t* function,
                                   std::uint32_t line, const wchar_t* format, ...) = 0;
  virtual std::uint32_t logCritical(const wchar_t* file, const wchar_t* function,
                                    std::uint32_t line, const wchar_t* format, ...) = 0;
  virtual std::uint32_t logInformation(const wchar_t* file, const wchar_t* function,
                                       std::uint32_t line, const wchar_t* format, ...) = 0;
  virtual bool isLogged(std::uint32_t severity) = 0;
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;
};

using IVxLogBackEnd = CVxLog<CVxFileLog>;
