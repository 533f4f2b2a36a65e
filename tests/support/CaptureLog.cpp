#include "tests/support/CaptureLog.h"

#include <cstdarg>
#include <cwchar>

#include "foundation/VxLogStream.h"

namespace vxtest {

std::uint32_t CaptureLogBackEnd::write(const wchar_t* file, const wchar_t* function,
                                       std::uint32_t line, std::uint32_t severity,
                                       const wchar_t* message) {
  LogEntry entry;
  entry.file = file != nullptr ? file : L"";
  entry.function = function != nullptr ? function : L"";
  entry.line = line;
  entry.severity = severity;
  entry.raw = message != nullptr ? message : L"";
  entry.message = entry.raw;
  if (entry.message.size() >= 2 && entry.message.ends_with(L"\r\n")) {
    entry.message.resize(entry.message.size() - 2);
  }
  {
    std::lock_guard guard(lock_);
    entries_.push_back(std::move(entry));
  }
  arrived_.notify_all();
  return 0;
}

std::uint32_t CaptureLogBackEnd::record(std::uint32_t severity, const wchar_t* file,
                                        const wchar_t* function, std::uint32_t line,
                                        const wchar_t* format, va_list args) {
  std::vector<wchar_t> buffer(1 << 16);
  const int written = std::vswprintf(buffer.data(), buffer.size(), format, args);
  if (written < 0) return 87;
  return write(file, function, line, severity, buffer.data());
}

#define VX_CAPTURE_SLOT(name, severity)                                                      \
  std::uint32_t CaptureLogBackEnd::name(const wchar_t* file, const wchar_t* function,        \
                                        std::uint32_t line, const wchar_t* format, ...) {    \
    va_list args;                                                                             \
    va_start(args, format);                                                                   \
    const std::uint32_t result = record(severity, file, function, line, format, args);       \
    va_end(args);                                                                             \
    return result;                                                                            \
  }
VX_CAPTURE_SLOT(logNormal, VX_LOG_NORMAL)
VX_CAPTURE_SLOT(logError, VX_LOG_ERROR)
VX_CAPTURE_SLOT(logWarning, VX_LOG_WARNING)
VX_CAPTURE_SLOT(logCritical, VX_LOG_CRITICAL)
VX_CAPTURE_SLOT(logInformation, VX_LOG_INFORMATION)
#undef VX_CAPTURE_SLOT

std::vector<LogEntry> CaptureLogBackEnd::entries() const {
  std::lock_guard guard(lock_);
  return entries_;
}

void CaptureLogBackEnd::clear() {
  std::lock_guard guard(lock_);
  entries_.clear();
}

std::size_t CaptureLogBackEnd::count(const std::wstring& text, std::uint32_t severity) const {
  std::lock_guard guard(lock_);
  std::size_t n = 0;
  for (const auto& entry : entries_) {
    if (entry.message == text && (severity == 0 || entry.severity == severity)) ++n;
  }
  return n;
}

bool CaptureLogBackEnd::waitFor(const std::wstring& text, std::size_t times,
                                std::chrono::milliseconds deadline) const {
  std::unique_lock guard(lock_);
  return arrived_.wait_for(guard, deadline, [&] {
    std::size_t n = 0;
    for (const auto& entry : entries_) n += entry.message == text ? 1 : 0;
    return n >= times;
  });
}

LogEntry CaptureLogBackEnd::find(const std::wstring& text) const {
  std::lock_guard guard(lock_);
  for (const auto& entry : entries_) {
    if (entry.message == text) return entry;
  }
  return {};
}

LogCapture::LogCapture() { logstream::instance().setBackEnd(&backEnd_); }

LogCapture::~LogCapture() { logstream::instance().setBackEnd(nullptr); }

}  // namespace vxtest
