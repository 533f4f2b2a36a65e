#pragma once
// ProgressDisplay: how ovrascan shows a running operation. On a terminal one line
// is redrawn in place: a bar, the percentage and the object last done, with each
// detection kept above it as a line of its own. Otherwise (a pipe or a file) every
// object gets a plain line, flushed at once so that a reader sees it as it happens:
//   [ 42%] /usr/lib/x86_64-linux-gnu/libc.so.6 ok
// Silent shows nothing.
//
// Thread-safety: every method may be called from any thread at once; one lock
// keeps the lines whole. It is a leaf lock: nothing is called while it is held
// but the C library's output. A writer may block on it while stdout is a full
// pipe; note() then still reaches stderr, except in Bar mode (a terminal).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

class ProgressDisplay {
 public:
  enum class Mode { Silent, Lines, Bar };

  // Bar when `out` is a terminal, Lines otherwise; Silent when quiet.
  static Mode modeFor(bool quiet, std::FILE* out);

  ProgressDisplay(Mode mode, std::FILE* out);
  ProgressDisplay(const ProgressDisplay&) = delete;
  ProgressDisplay& operator=(const ProgressDisplay&) = delete;

  // One object is done; status is an eAVObjectStatus value.
  void objectDone(const std::wstring& name, std::uint32_t status, std::uint32_t percent);
  // A line for stderr ("ovrascan: " + message) that must not end up in the middle
  // of the bar. Never touches stdout's buffer outside Bar mode.
  void note(const std::string& message);
  // Takes the bar off the screen; objects reported later are not shown.
  void finish();

  static const char* statusText(std::uint32_t status);

 private:
  void drawBar(const std::wstring& name, std::uint32_t percent);
  void clearBar();

  const Mode mode_;
  std::FILE* const out_;
  std::mutex lock_;
  bool finished_ = false;
  bool barShown_ = false;
  std::uint32_t lastPercent_ = 0;
  std::chrono::steady_clock::time_point lastDrawn_{};
};
