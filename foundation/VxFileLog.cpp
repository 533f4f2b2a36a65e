#include "foundation/VxFileLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cwchar>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxFileLogLine.h"
#include "foundation/VxNATypeConversion.h"
#include "platform/DebugOutput.h"
#include "platform/ErrorCodes.h"
#include "platform/ModulePath.h"
#include "platform/ProcessId.h"
#include "platform/Thread.h"
#include "platform/Utf16.h"

namespace {

constexpr char kByteOrderMark[] = "\xFF\xFE";

// Holds the named mutex for a scope when it can be had within the limit; goes
// on without it otherwise, as the log must never stop its caller.
class NamedMutexScope {
 public:
  explicit NamedMutexScope(platform::NamedMutex* mutex) : mutex_(mutex) {
    if (mutex_ != nullptr) mutex_->lock(CVxFileLog::kMutexTimeout);
  }
  ~NamedMutexScope() {
    if (mutex_ != nullptr) mutex_->unlock();
  }
  NamedMutexScope(const NamedMutexScope&) = delete;
  NamedMutexScope& operator=(const NamedMutexScope&) = delete;

 private:
  platform::NamedMutex* mutex_;
};

// Writes `bytes` whole at the file's position (its end, for a file opened for
// appending). When a write fails (a full disk, the file size limit), the file is
// cut back to its size before, so that no part of a line stays behind for the
// next line to be glued onto.
std::uint32_t writeAll(int fd, const std::string& bytes) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return platform::lastWindowsError();
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      const std::uint32_t error = platform::lastWindowsError();
      while (done != 0 && ::ftruncate(fd, status.st_size) != 0 && errno == EINTR) {
      }
      return error;
    }
    done += static_cast<std::size_t>(written);
  }
  return 0;
}

std::uint32_t fileSize(int fd, std::uint64_t& size) {
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0) return platform::lastWindowsError();
  size = static_cast<std::uint64_t>(end);
  return 0;
}

// Starts log file `index` afresh: emptied, with the byte-order mark.
std::uint32_t startFile(const platform::OpenFolder& folder, const std::string& name,
                        platform::UniqueFileDescriptor& fd) {
  if (const std::uint32_t error = folder.openChildFile(name, true, fd); error != 0) return error;
  return writeAll(fd.get(), kByteOrderMark);
}

std::wstring fileNameOf(const std::string& path) {
  return VxNATypeConversion::ansiBufferToWideString(path.substr(path.rfind('/') + 1));
}

}  // namespace

CVxFileLog::~CVxFileLog() = default;

std::uint32_t CVxFileLog::AddRef() { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }

std::uint32_t CVxFileLog::Release() {
  const std::uint32_t left = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) delete this;  // counted object: the last reference owns it
  return left;
}

void CVxFileLog::setClock(Clock clock) {
  std::lock_guard guard(lock_);
  clock_ = clock != nullptr ? clock : &platform::localTimeNow;
}

VxFileLogSettings CVxFileLog::settings() const {
  std::lock_guard guard(lock_);
  VxFileLogSettings current = settings_;
  current.enable = enable_.load();
  current.severity = severity_.load();
  return current;
}

VxFileLogLocation CVxFileLog::location() const {
  std::lock_guard guard(lock_);
  return location_;
}

bool CVxFileLog::isLogged(std::uint32_t severity) {
  return severity >= VX_LOG_NORMAL && severity <= VX_LOG_CRITICAL && enable_.load(std::memory_order_relaxed) != 0 &&
         severity >= severity_.load(std::memory_order_relaxed);
}

std::uint32_t CVxFileLog::initialize(const wchar_t* logName, const void* module, const wchar_t* suffix) {
  std::lock_guard guard(lock_);
  if (initialised_) return VX_E_LOG_ALREADY_INITIALIZED;
  std::uint32_t error = 0;
  try {
    error = initializeLocked(logName, module, suffix);
  } catch (const std::bad_alloc&) {
    error = ERROR_OUTOFMEMORY;
  }
  if (error != 0) clear();
  return error;
}

std::uint32_t CVxFileLog::initializeLocked(const wchar_t* logName, const void* module, const wchar_t* suffix) {
  if (logName == nullptr || *logName == L'\0' || (suffix != nullptr && *suffix == L'\0')) {
    return ERROR_INVALID_PARAMETER;
  }
  logName_ = logName;
  suffix_ = suffix != nullptr ? suffix : L"";
  const std::wstring program = vxHostProgramName();
  if (program.empty()) return ERROR_INVALID_PARAMETER;
  location_ = makeFileLogLocation(logName_, suffix_, program);
  mutex_ = std::make_unique<platform::NamedMutex>(location_.baseFolder, location_.mutexName);

  std::string modulePath;
  const std::uint32_t found =
      module != nullptr ? platform::modulePathOf(module, modulePath) : platform::hostExecutablePath(modulePath);
  moduleName_ = found == 0 ? fileNameOf(modulePath) : L"";

  NamedMutexScope held(mutex_.get());
  settings_ = readFileLogSettings(location_.globalSettingsFile, location_.logSettingsFile, true);
  enable_ = settings_.enable;
  severity_ = settings_.severity;
  if (settings_.enable != 0) processId_ = platform::currentProcessId();
  initialised_ = true;
  return 0;
}

void CVxFileLog::clear() {
  initialised_ = false;
  logName_.clear();
  suffix_.clear();
  moduleName_.clear();
  location_ = VxFileLogLocation{};
  unstoredIndex_.reset();
}

std::uint32_t CVxFileLog::uninitialize() {
  std::lock_guard guard(lock_);
  if (!initialised_) return VX_E_LOG_NOT_INITIALIZED;
  NamedMutexScope held(mutex_.get());
  clear();
  return 0;
}

void CVxFileLog::switchOff() {
  enable_ = 0;
  severity_ = kSeverityOff;
  settings_.enable = 0;
  settings_.severity = kSeverityOff;
}

bool CVxFileLog::firstWriteCheck() {
  if (folderCheck_ == FolderCheck::NotDone) {
    platform::OpenFolder folder;
    if (location_.openLogFolder(true, folder) == 0) {
      folderCheck_ = FolderCheck::Passed;
    } else {
      folderCheck_ = FolderCheck::Failed;
      switchOff();
    }
  }
  return folderCheck_ == FolderCheck::Passed;
}

std::uint32_t CVxFileLog::write(const wchar_t* file, const wchar_t* function, std::uint32_t line,
                                std::uint32_t severity, const wchar_t* message) {
  std::lock_guard guard(lock_);
  if (!initialised_) return VX_E_LOG_NOT_INITIALIZED;
  // The folder is made before the named mutex is taken: its lock file lives in
  // the base folder, which the first write of a machine creates.
  if (!firstWriteCheck()) return ERROR_INVALID_PARAMETER;
  if (message == nullptr || *message == L'\0') return ERROR_INVALID_PARAMETER;
  try {
    VxFileLogLineFields fields;
    fields.time = clock_();
    fields.severity = severity;
    fields.options = settings_.options;
    fields.module = moduleName_.c_str();
    fields.processId = processId_;
    fields.threadId = platform::currentThreadId();
    fields.file = file;
    fields.line = line;
    fields.function = function;
    fields.message = message;
    const std::wstring text = formatFileLogLine(fields);
    NamedMutexScope held(mutex_.get());
    const std::uint32_t error = appendLine(text);
    if (settings_.options & kVxLogOptionDebugOutput) {
      platform::writeDebugOutput(VxNATypeConversion::wideBufferToAnsiString(text));
    }
    return error;
  } catch (const std::bad_alloc&) {
    return ERROR_OUTOFMEMORY;
  }
}

void CVxFileLog::storeIndex(std::uint32_t index) {
  if (writeLastLogIndex(location_.logSettingsFile, index) == 0) {
    unstoredIndex_.reset();
  } else {
    unstoredIndex_ = index;
  }
}

std::uint32_t CVxFileLog::appendLine(const std::wstring& text) {
  platform::OpenFolder folder;
  if (const std::uint32_t error = location_.openLogFolder(false, folder); error != 0) return error;
  const std::uint32_t entries = settings_.maxEntries;
  const std::uint32_t stored = readLastLogIndex(location_.logSettingsFile);
  std::uint32_t index = unstoredIndex_.value_or(stored);
  platform::UniqueFileDescriptor fd;
  bool started = false;
  if (index >= entries) {
    // File 000 starts afresh, unless it was written after the file the index
    // names: then it already holds lines of this rotation.
    const bool afresh = !location_.fileModifiedAfter(folder, 0, index);
    index = 0;
    if (afresh) {
      if (const std::uint32_t error = startFile(folder, location_.logFileName(index), fd); error != 0) return error;
      started = true;
    }
  }
  if (!started) {
    index = location_.newestFileFrom(folder, index, entries);
    if (const std::uint32_t error = folder.openChildFile(location_.logFileName(index), false, fd); error != 0) {
      return error;
    }
    std::uint64_t size = 0;
    if (const std::uint32_t error = fileSize(fd.get(), size); error != 0) return error;
    if (size == 0) {
      if (const std::uint32_t error = writeAll(fd.get(), kByteOrderMark); error != 0) return error;
    } else if (size >= settings_.maxSize) {
      // The next file is older than this one (newestFileFrom stopped here), so
      // its lines belong to an earlier round of the rotation.
      index = index + 1 < entries ? index + 1 : 0;
      if (const std::uint32_t error = startFile(folder, location_.logFileName(index), fd); error != 0) return error;
    }
  }
  if (index != stored || unstoredIndex_) storeIndex(index);
  // Appending (not writing at an offset) keeps whole lines whole even for a
  // writer that had to go on without the named mutex.
  if (const int flags = ::fcntl(fd.get(), F_GETFL); flags >= 0) ::fcntl(fd.get(), F_SETFL, flags | O_APPEND);
  return writeAll(fd.get(), platform::encodeUtf16Le(text));
}

std::uint32_t CVxFileLog::logFormatted(std::uint32_t severity, const wchar_t* file, const wchar_t* function,
                                       std::uint32_t line, const wchar_t* format, va_list arguments) {
  if (!isLogged(severity) || format == nullptr) return 0;
  std::array<wchar_t, kMaximumMessage + 1> buffer{};
  // A message that does not fit is cut at the buffer's end; vswprintf then
  // reports failure, but the characters that fit are kept.
  std::vswprintf(buffer.data(), buffer.size(), format, arguments);
  buffer.back() = L'\0';
  return write(file, function, line, severity, buffer.data());
}

#define VX_FILE_LOG_ENTRY(name, severity)                                                                  \
  std::uint32_t CVxFileLog::name(const wchar_t* file, const wchar_t* function, std::uint32_t line,        \
                                 const wchar_t* format, ...) {                                            \
    va_list arguments;                                                                                     \
    va_start(arguments, format);                                                                           \
    const std::uint32_t error = logFormatted(severity, file, function, line, format, arguments);           \
    va_end(arguments);                                                                                     \
    return error;                                                                                          \
  }

VX_FILE_LOG_ENTRY(logNormal, VX_LOG_NORMAL)
VX_FILE_LOG_ENTRY(logError, VX_LOG_ERROR)
VX_FILE_LOG_ENTRY(logWarning, VX_LOG_WARNING)
VX_FILE_LOG_ENTRY(logCritical, VX_LOG_CRITICAL)
VX_FILE_LOG_ENTRY(logInformation, VX_LOG_INFORMATION)

#undef VX_FILE_LOG_ENTRY
