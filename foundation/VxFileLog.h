#pragma once
// CVxFileLog: the back end behind the log statements. It filters by severity,
// formats one line (VxFileLogLine.h) and appends it to a rotating set of
// UTF-16LE files, each starting with the byte-order mark FF FE, in the log
// folder of its program (VxFileLogLocation.h), under the settings of its two
// "log.ini" files (VxFileLogSettings.h).
//
// Rotation, with i the stored LastLogIdx and M the MaxEntries in force: i >= M
// starts file 000 afresh and stores 0; a file i that is missing is created; one
// below MaxSize bytes is appended to; a full one makes i + 1 (0 after M - 1) the
// current file, emptied, and stores that index. The size is tested before the
// line is added, so a file may end one line above MaxSize.
//
// A file that holds lines of the current round is never emptied, even when the
// index could not be stored: the object then keeps the index it could not store
// and goes on from it (and tries to store it with each line), and any writer
// takes the next file of the rotation instead of file i when that one was
// modified after file i (VxFileLogLocation::newestFileFrom), and appends to
// file 000 instead of emptying it when i >= M and file 000 was modified after
// file i.
//
// The first write makes the log folder with its parents. When that fails,
// logging is off for the life of the object (Enable 0, Severity 10000) and every
// write returns 87; nothing is reported to callers of log statements.
//
// Concurrency. Inside the process one mutex of the object serialises its writes
// and guards its state, so the printf-style entries may be called from any
// thread (isLogged reads two atomics and takes no lock). Across processes of one
// program the named mutex (an flock lock file in the base folder) serialises
// file access while initialize, uninitialize and write work; a writer waits at
// most 7000 ms for it and then goes on without it. Lines go out with one write
// to a file opened for appending, so even then a line is never torn. A write
// that fails part way (a full disk, the file size limit) is undone: the file is
// cut back to its size before it and the write returns the error, so the file
// holds only whole lines and the next line starts on a line of its own.
//
// The reference count is atomic; Release destroys the object at 0.
#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/VxFileLogLocation.h"
#include "foundation/VxFileLogSettings.h"
#include "foundation/VxLog.h"
#include "platform/LocalTime.h"
#include "platform/NamedMutex.h"

class CVxFileLog final : public CVxLog<CVxFileLog> {
 public:
  // The longest message the printf-style entries pass on, in characters.
  static constexpr std::size_t kMaximumMessage = 4159;
  static constexpr std::chrono::milliseconds kMutexTimeout{7000};
  // What the first-write failure sets Severity to.
  static constexpr std::uint32_t kSeverityOff = 10000;

  using Clock = platform::LocalTime (*)();

  CVxFileLog() = default;
  ~CVxFileLog() override;
  CVxFileLog(const CVxFileLog&) = delete;
  CVxFileLog& operator=(const CVxFileLog&) = delete;

  std::uint32_t write(const wchar_t* file, const wchar_t* function, std::uint32_t line,
                      std::uint32_t severity, const wchar_t* message) override;
  // 87 for an empty log name or suffix (null suffix: none); 20001 when initialised.
  std::uint32_t initialize(const wchar_t* logName, const void* module, const wchar_t* suffix) override;
  // 20002 when not initialised.
  std::uint32_t uninitialize() override;
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
  // Whether a message of that severity would be written: logging on, severity
  // 1 to 5 and at least the configured one.
  bool isLogged(std::uint32_t severity) override;
  std::uint32_t AddRef() override;
  std::uint32_t Release() override;

  // Replaces the clock of the time stamps (tests fix the time with it).
  void setClock(Clock clock);
  VxFileLogSettings settings() const;
  VxFileLogLocation location() const;

 private:
  std::uint32_t logFormatted(std::uint32_t severity, const wchar_t* file, const wchar_t* function,
                             std::uint32_t line, const wchar_t* format, va_list arguments);
  std::uint32_t initializeLocked(const wchar_t* logName, const void* module, const wchar_t* suffix);
  void clear();
  bool firstWriteCheck();
  void switchOff();
  std::uint32_t appendLine(const std::wstring& text);
  void storeIndex(std::uint32_t index);

  enum class FolderCheck { NotDone, Passed, Failed };

  mutable std::recursive_mutex lock_;
  std::atomic<std::uint32_t> references_{0};
  std::atomic<std::uint32_t> enable_{1};
  std::atomic<std::uint32_t> severity_{3};
  bool initialised_ = false;
  std::wstring logName_;
  std::wstring suffix_;
  std::wstring moduleName_;
  std::uint32_t processId_ = 0;
  VxFileLogLocation location_;
  std::unique_ptr<platform::NamedMutex> mutex_;
  VxFileLogSettings settings_;
  FolderCheck folderCheck_ = FolderCheck::NotDone;
  // The current file when storing its index failed; empty once it is stored.
  std::optional<std::uint32_t> unstoredIndex_;
  Clock clock_ = &platform::localTimeNow;
};
