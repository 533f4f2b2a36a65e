#include "tools/ovrascan/ProgressDisplay.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "kernel/IVxAVScanner_Callback.h"
#include "platform/Utf8.h"
#include "tools/ovrascan/TerminalText.h"

namespace {

constexpr std::size_t kBarCells = 20;
// Redrawing for every object would cost more than the scan on a slow terminal;
// the bar moves when the percentage does, or this often.
constexpr std::chrono::milliseconds kRedrawInterval{100};

std::string utf8(const std::wstring& text) { return platform::encodeUtf8(text.data(), text.size()); }

std::size_t terminalColumns(std::FILE* out) {
  winsize size{};
  if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

bool isDetection(std::uint32_t status) {
  return status == AV_OBJECT_STATUS_INFECTED || status == AV_OBJECT_STATUS_CLEANED;
}

}  // namespace

ProgressDisplay::Mode ProgressDisplay::modeFor(bool quiet, std::FILE* out) {
  if (quiet) return Mode::Silent;
  return isatty(fileno(out)) ? Mode::Bar : Mode::Lines;
}

ProgressDisplay::ProgressDisplay(Mode mode, std::FILE* out) : mode_(mode), out_(out) {}

const char* ProgressDisplay::statusText(std::uint32_t status) {
  switch (status) {
    case AV_OBJECT_STATUS_OK: return "ok";
    case AV_OBJECT_STATUS_INFECTED: return "INFECTED";
    case AV_OBJECT_STATUS_CLEANED: return "cleaned";
    default: return "not verified";
  }
}

void ProgressDisplay::objectDone(const std::wstring& name, std::uint32_t status, std::uint32_t percent) {
  if (mode_ == Mode::Silent) return;
  std::lock_guard guard(lock_);
  if (finished_) return;
  if (mode_ == Mode::Lines) {
    std::fprintf(out_, "[%3u%%] %s %s\n", percent, TerminalText::escaped(utf8(name)).c_str(), statusText(status));
    std::fflush(out_);
    return;
  }
  if (isDetection(status)) {
    clearBar();
    std::fprintf(out_, "%s %s\n", statusText(status), TerminalText::escaped(utf8(name)).c_str());
    drawBar(name, percent);
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (barShown_ && percent == lastPercent_ && now - lastDrawn_ < kRedrawInterval) return;
  drawBar(name, percent);
}

void ProgressDisplay::note(const std::string& message) {
  const std::string line = "ovrascan: " + message + "\n";
  if (mode_ != Mode::Bar) {
    // Nothing of stdout to tidy up; and a writer stuck on a full stdout pipe holds
    // the lock, which must not hold up a message on stderr.
    std::fputs(line.c_str(), stderr);
    return;
  }
  std::lock_guard guard(lock_);
  clearBar();
  std::fputs(line.c_str(), stderr);
}

void ProgressDisplay::finish() {
  std::lock_guard guard(lock_);
  clearBar();
  finished_ = true;
}

void ProgressDisplay::drawBar(const std::wstring& name, std::uint32_t percent) {
  const std::uint32_t shown = percent > 100 ? 100 : percent;
  std::string line = "\r[";
  const std::size_t filled = shown * kBarCells / 100;
  line.append(filled, '#');
  line.append(kBarCells - filled, '-');
  char number[16];
  std::snprintf(number, sizeof number, "] %3u%% ", shown);
  line += number;
  // The line must stay shorter than the terminal, or it wraps and \r no longer
  // returns to its start; long names keep their end, the file name.
  const std::size_t used = 1 + kBarCells + 7;
  const std::size_t columns = terminalColumns(out_);
  const std::size_t room = columns > used + 1 ? columns - used - 1 : 0;
  const std::string printable = TerminalText::escaped(utf8(name));
  if (printable.size() <= room) {
    line += printable;
  } else if (room > 3) {
    std::size_t from = printable.size() - (room - 3);
    while (from < printable.size() && (static_cast<unsigned char>(printable[from]) & 0xC0u) == 0x80u) ++from;
    line += "..." + printable.substr(from);
  }
  line += "\x1b[K";
  std::fputs(line.c_str(), out_);
  std::fflush(out_);
  barShown_ = true;
  lastPercent_ = percent;
  lastDrawn_ = std::chrono::steady_clock::now();
}

void ProgressDisplay::clearBar() {
  if (!barShown_) return;
  std::fputs("\r\x1b[K", out_);
  std::fflush(out_);
  barShown_ = false;
}
