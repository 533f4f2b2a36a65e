#pragma once
// CollectorCompletions: what ovrascan's script object hears from the
// suspicious-scan object (the outcome code of a collection or an upload, on the
// collector runner's thread) and the signals that end ovrascan's wait for them
// (on the interrupt watcher's thread). The main thread waits for either.
//
// Thread-safety: every member may be called from any thread.
#include <condition_variable>
#include <mutex>
#include <optional>

#include "platform/automation/Automation.h"

class CollectorCompletions {
 public:
  enum class Kind { Scan, Upload };

  void complete(Kind kind, ULONG code) {
    std::lock_guard guard(lock_);
    (kind == Kind::Scan ? scan_ : upload_) = code;
    changed_.notify_all();
  }
  void interrupt(int signal) {
    std::lock_guard guard(lock_);
    if (signal_ == 0) signal_ = signal;
    changed_.notify_all();
  }
  // The outcome code, or nothing when a signal came first (see signal()).
  std::optional<ULONG> wait(Kind kind) {
    std::unique_lock guard(lock_);
    const std::optional<ULONG>& code = kind == Kind::Scan ? scan_ : upload_;
    changed_.wait(guard, [&] { return code.has_value() || signal_ != 0; });
    return signal_ != 0 ? std::nullopt : code;
  }
  int signal() {
    std::lock_guard guard(lock_);
    return signal_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::optional<ULONG> scan_;
  std::optional<ULONG> upload_;
  int signal_ = 0;
};
