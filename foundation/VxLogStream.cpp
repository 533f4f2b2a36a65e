#include "foundation/VxLogStream.h"

#include <atomic>
#include <memory>
#include <new>
#include <thread>

#include "foundation/VxFileLogFactory.h"
#include "platform/ModulePath.h"

namespace {

constexpr wchar_t kLogName[] = L"PartnerCustom";

// Creation gate of the process's stream: 0 not created, 1 being created, 2 ready.
enum : std::uint32_t { kNotCreated = 0, kCreating = 1, kReady = 2 };
std::atomic<std::uint32_t> gGate{kNotCreated};

// The stream lives in static storage and is never destroyed, so that threads still
// running while the process exits can log safely.
alignas(logstream) unsigned char gStorage[sizeof(logstream)];

// A stream in the default state, whose format a statement starts from.
const std::wios& defaultFormat() {
  static const std::wios format(nullptr);
  return format;
}

}  // namespace

// Builds the stream in its static storage; the only place that may.
class logstreamCreator {
 public:
  static logstream* create() { return ::new (static_cast<void*>(gStorage)) logstream(); }
};

logstreambuf::logstreambuf(logstream& header) : logstreambuf(header, &createFileLog) {}

logstreambuf::logstreambuf(logstream& header, BackEndFactory factory) : header_(header) {
  // Any address of this module names it; the log name's own will do.
  const void* ownModule = platform::moduleHandleOf(kLogName);
  IVxLogBackEnd* backEnd = nullptr;
  if (factory(kLogName, ownModule, nullptr, &backEnd) == 0) backEnd_ = backEnd;
}

logstreambuf::~logstreambuf() { setBackEnd(nullptr); }

void logstreambuf::setBackEnd(IVxLogBackEnd* backEnd) {
  if (backEnd != nullptr) backEnd->AddRef();
  IVxLogBackEnd* previous = backEnd_;
  backEnd_ = backEnd;
  if (previous != nullptr) previous->Release();
}

bool logstreambuf::wants(std::uint32_t severity) {
  return backEnd_ != nullptr && backEnd_->isLogged(severity);
}

int logstreambuf::sync() {
  std::wstring text;
  // Taking the text empties the buffer even when a copy cannot be had, so that
  // no rest of this statement leaks into the next one.
  try {
    text = std::move(*this).str();
  } catch (...) {
  }
  str(std::wstring());
  if (backEnd_ == nullptr || text.empty()) return 0;
  const wchar_t* file = header_.file();
  const wchar_t* function = header_.function();
  const std::uint32_t line = header_.line();
  switch (header_.severity()) {
    case VX_LOG_NORMAL:
      backEnd_->logNormal(file, function, line, VX_LOG_WIDE_STRING_FORMAT, text.c_str());
      break;
    case VX_LOG_WARNING:
      backEnd_->logWarning(file, function, line, VX_LOG_WIDE_STRING_FORMAT, text.c_str());
      break;
    case VX_LOG_INFORMATION:
      backEnd_->logInformation(file, function, line, VX_LOG_WIDE_STRING_FORMAT, text.c_str());
      break;
    case VX_LOG_ERROR:
      backEnd_->logError(file, function, line, VX_LOG_WIDE_STRING_FORMAT, text.c_str());
      break;
    case VX_LOG_CRITICAL:
      backEnd_->logCritical(file, function, line, VX_LOG_WIDE_STRING_FORMAT, text.c_str());
      break;
    default:
      break;
  }
  return 0;
}

logstream::logstream() : std::wostream(nullptr), buffer_(*this) { rdbuf(&buffer_); }

logstream& logstream::instance() {
  for (;;) {
    std::uint32_t state = gGate.load(std::memory_order_acquire);
    if (state == kReady) return *std::launder(reinterpret_cast<logstream*>(gStorage));
    if (state == kNotCreated &&
        gGate.compare_exchange_strong(state, kCreating, std::memory_order_acq_rel)) {
      try {
        logstreamCreator::create();
        gGate.store(kReady, std::memory_order_release);
      } catch (...) {
        gGate.store(kNotCreated, std::memory_order_release);
        throw;
      }
      continue;
    }
    std::this_thread::yield();
  }
}

void logstream::setBackEnd(IVxLogBackEnd* backEnd) {
  std::lock_guard guard(criticalSection_);
  buffer_.setBackEnd(backEnd);
}

void logstream::setHeader(std::uint32_t severity, const wchar_t* file, const wchar_t* function,
                          std::uint32_t line) {
  severity_ = severity;
  file_ = file != nullptr ? file : L"";
  function_ = function != nullptr ? function : L"";
  line_ = line;
}

VxLogStatement::VxLogStatement(std::uint32_t severity, const wchar_t* file,
                               const wchar_t* function, std::uint32_t line) noexcept {
  if (severity < VX_LOG_NORMAL || severity > VX_LOG_CRITICAL) return;
  logstream* stream = nullptr;
  try {
    stream = &logstream::instance();
  } catch (...) {
    return;  // no stream could be made: the statement is lost
  }
  stream->criticalSection().lock();
  try {
    if (!stream->wants(severity)) {
      stream->criticalSection().unlock();
      return;
    }
    // Every statement starts from the default format, whatever the last one set.
    stream->clear();
    stream->discardText();
    stream->copyfmt(defaultFormat());
    stream->setHeader(severity, file, function, line);
    stream_ = stream;
  } catch (...) {
    stream->criticalSection().unlock();
  }
}

VxLogStatement::~VxLogStatement() {
  if (stream_ == nullptr) return;
  try {
    *stream_ << L"\r\n";
    stream_->flush();
  } catch (...) {
    // Lost; the buffer was emptied by the flush that failed, or is by the next.
  }
  stream_->criticalSection().unlock();
}

namespace {

// The stream itself is never destroyed, but its back end goes with the module, at
// unload or at process exit: the file log is closed and freed, and a statement
// made after that is discarded. Without this an unloaded module would leave its
// file log behind, unreachable.
struct BackEndRelease {
  BackEndRelease() = default;
  BackEndRelease(const BackEndRelease&) = delete;
  BackEndRelease& operator=(const BackEndRelease&) = delete;
  ~BackEndRelease() {
    if (gGate.load(std::memory_order_acquire) == kReady) logstream::instance().setBackEnd(nullptr);
  }
} gBackEndRelease;

}  // namespace
