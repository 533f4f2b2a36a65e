#pragma once
// Log statements.
//
// Every component writes diagnostics through the one process-wide wide stream,
// the logstream. A statement fixes severity, source name, function name and line,
// streams its text and ends the line; the whole text then goes to the back end in
// one call (logNormal .. logCritical by severity). The stream's critical section
// is held from the first to the last character of a statement, so lines of
// different threads never mix. Nothing is reported to the caller: a statement
// whose back end is missing or will not write it is dropped.
//
// Usage, with a file-level source name:
//   static constexpr wchar_t kLogSource[] = L"VxAVScannerKernel";
//   VX_LOG(VX_LOG_WARNING, L"CVxAVScannerKernel::Init")
//       << L"CVxAVScannerKernel::Init - initializeKernel failed, error = " << code;
#include <cstdint>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>

#include "foundation/VxLog.h"

class logstream;

// The stream's buffer: collects one statement's text and hands it to the back end
// when the statement flushes.
class logstreambuf : public std::wstringbuf {
 public:
  // How a back end is had: createFileLog (foundation/VxFileLogFactory.h) or a
  // function with its contract.
  using BackEndFactory = std::uint32_t (*)(const wchar_t* logName, const void* module,
                                           const wchar_t* suffix, IVxLogBackEnd** out);

  // Asks the factory for the "PartnerCustom" log of the module that holds this
  // code (the component's own module: its lines carry that module's name), with
  // no suffix. Without a back end, statements are formatted and dropped.
  explicit logstreambuf(logstream& header);
  logstreambuf(logstream& header, BackEndFactory factory);
  ~logstreambuf() override;

  // Takes a reference to backEnd (may be null) and drops the previous one.
  void setBackEnd(IVxLogBackEnd* backEnd);
  bool wants(std::uint32_t severity);

 protected:
  int sync() override;

 private:
  logstream& header_;
  IVxLogBackEnd* backEnd_ = nullptr;
};

class logstream : public std::wostream {
 public:
  // The process's stream, created at the first statement; never destroyed.
  static logstream& instance();

  // Replaces the back end (the stream takes its own reference). For hosts and
  // tests that route statements elsewhere; null discards statements.
  void setBackEnd(IVxLogBackEnd* backEnd);

  std::recursive_mutex& criticalSection() { return criticalSection_; }
  bool wants(std::uint32_t severity) { return buffer_.wants(severity); }
  void setHeader(std::uint32_t severity, const wchar_t* file, const wchar_t* function,
                 std::uint32_t line);
  // Drops text a statement left behind when it could not be finished.
  void discardText() { buffer_.str(std::wstring()); }

  std::uint32_t severity() const { return severity_; }
  std::uint32_t line() const { return line_; }
  const wchar_t* function() const { return function_; }
  const wchar_t* file() const { return file_; }

 private:
  friend class logstreamCreator;
  logstream();

  std::recursive_mutex criticalSection_;
  std::uint32_t severity_ = VX_LOG_NORMAL;
  std::uint32_t line_ = 0;
  const wchar_t* function_ = L"";
  const wchar_t* file_ = L"";
  logstreambuf buffer_;
};

// One log statement: holds the critical section for its life and ends the line
// when destroyed. Statements the back end would not write cost no formatting.
// A statement never throws: when memory runs out while it is made, it is lost
// (it may reach the back end cut short), and the critical section is released
// all the same. Callers may therefore log from their failure paths.
class VxLogStatement {
 public:
  VxLogStatement(std::uint32_t severity, const wchar_t* file, const wchar_t* function,
                 std::uint32_t line) noexcept;
  ~VxLogStatement();
  VxLogStatement(const VxLogStatement&) = delete;
  VxLogStatement& operator=(const VxLogStatement&) = delete;

  template <class T>
  VxLogStatement& operator<<(const T& value) noexcept {
    if (stream_ != nullptr) {
      try {
        *stream_ << value;
      } catch (...) {
        // The stream reports its buffer's failures through its state; anything
        // else thrown while formatting loses this statement's text.
      }
    }
    return *this;
  }
  VxLogStatement& operator<<(std::wostream& (*manipulator)(std::wostream&)) noexcept {
    return *this << Manipulator{manipulator};
  }
  VxLogStatement& operator<<(std::ios_base& (*manipulator)(std::ios_base&)) noexcept {
    if (stream_ != nullptr) manipulator(*stream_);
    return *this;
  }

 private:
  struct Manipulator {
    std::wostream& (*apply)(std::wostream&);
    friend std::wostream& operator<<(std::wostream& stream, Manipulator m) { return m.apply(stream); }
  };

  logstream* stream_ = nullptr;
};

#define VX_LOG(severity, function) VxLogStatement((severity), kLogSource, (function), __LINE__)
