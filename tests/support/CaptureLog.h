#pragma once
// A log back end for tests: keeps every statement that reaches it, so that tests
// can assert the exact texts, severities, function and source names. Install it
// with a LogCapture for the life of a test.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/VxLog.h"

namespace vxtest {

struct LogEntry {
  std::wstring file;
  std::wstring function;
  std::uint32_t line = 0;
  std::uint32_t severity = 0;
  std::wstring message;  // without the trailing "\r\n"
  std::wstring raw;      // as the back end received it
};

class CaptureLogBackEnd final : public IVxLogBackEnd {
 public:
  std::uint32_t write(const wchar_t* file, const wchar_t* function, std::uint32_t line,
                      std::uint32_t severity, const wchar_t* message) override;
  std::uint32_t initialize(const wchar_t*, const void*, const wchar_t*) override { return 0; }
  std::uint32_t uninitialize() override { return 0; }
  std::uint32_t logNormal(const wchar_t* file, const wchar_t* function, std::uint32_t line,
                          const wchar_t* format, ...) override;
  std::uint32_t logError(const wchar_t* file, const wchar_t* function, std::uint32_t line,
                         const wchar_t* format, ...) override;
  std::uint32_t logWarning(const wchar_t* file, const wchar_t* function, std::uint32_t line,
                           const wchar_t* format, ...) override;
  std::uint32_t logCritical(const wchar_t* file, const wchar_t* function, std::uint32_t line,
                            const wchar_t* format, ...) override;
  std::uint32_t logInformation(const wchar_t* file, const wchar_t* function, std::uint32_t line,
                               const wchar_t* format, ...) override;
  bool isLogged(std::uint32_t) override { return true; }
  std::uint32_t AddRef() override { return ++references_; }
  std::uint32_t Release() override { return --references_; }  // owned by its LogCapture

  std::vector<LogEntry> entries() const;
  void clear();
  // Number of statements whose message equals text (and severity, when not 0).
  std::size_t count(const std::wstring& text, std::uint32_t severity = 0) const;
  bool contains(const std::wstring& text, std::uint32_t severity = 0) const {
    return count(text, severity) > 0;
  }
  // Waits until `times` statements with this message arrived; false after the deadline.
  bool waitFor(const std::wstring& text, std::size_t times = 1,
               std::chrono::milliseconds deadline = std::chrono::seconds(30)) const;
  // The first statement with this message, or an empty entry.
  LogEntry find(const std::wstring& text) const;

 private:
  std::uint32_t record(std::uint32_t severity, const wchar_t* file, const wchar_t* function,
                       std::uint32_t line, const wchar_t* format, va_list args);

  mutable std::mutex lock_;
  mutable std::condition_variable arrived_;
  std::vector<LogEntry> entries_;
  std::atomic<std::uint32_t> references_{0};
};

// Routes the process's log statements to a fresh capture back end while alive.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  CaptureLogBackEnd& log() { return backEnd_; }
  CaptureLogBackEnd* operator->() { return &backEnd_; }

 private:
  CaptureLogBackEnd backEnd_;
};

}  // namespace vxtest
