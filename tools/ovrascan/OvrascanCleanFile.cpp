// ovrascan clean-file: one file, through the object's CleanFile. The engine opens
// the name it is given without following a symbolic link, so a link is refused
// here, with the name of what it points to, rather than reported as not scanned.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "platform/Utf8.h"
#include "platform/automation/UniqueBstr.h"
#include "tools/ovrascan/BuiltInConfiguration.h"
#include "tools/ovrascan/Diagnostics.h"
#include "tools/ovrascan/OvrascanHost.h"
#include "tools/ovrascan/ScanReport.h"
#include "tools/ovrascan/TerminalText.h"

using platform::automation::UniqueBstr;

namespace {

const char* kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file";
}

// Empty when `path` names a regular file the engine can be given; otherwise why not.
std::string refusal(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return std::strerror(errno);
  if (S_ISLNK(info.st_mode)) {
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(path, error);
    return "it is a symbolic link to " + (error ? std::string("an unreadable target") : target.string()) +
           "; not followed (give the target itself to clean it)";
  }
  if (!S_ISREG(info.st_mode)) return std::string("not a regular file (") + kindOf(info.st_mode) + ")";
  return {};
}

}  // namespace

int OvrascanHost::cleanFile(const CommandLine& line) {
  std::error_code error;
  // Lexical only: the engine gets the name the user gave, with no link resolved.
  const std::filesystem::path absolute = std::filesystem::absolute(line.path, error);
  if (error) {
    Diagnostics::error("cannot clean " + TerminalText::escaped(line.path) + ": " + error.message());
    return kError;
  }
  const std::string path = absolute.string();
  if (const std::string why = refusal(path); !why.empty()) {
    Diagnostics::error("cannot clean " + TerminalText::escaped(line.path) + ": " + why);
    return kError;
  }
  const UniqueBstr name(platform::decodeUtf8(path.data(), path.size()));
  if (!name.copied()) {
    Diagnostics::error("cannot clean " + TerminalText::escaped(line.path) + ": out of memory");
    return kError;
  }
  OperationResult result;
  const bool ran = runOperation(
      "CleanFile", kBuiltInConfiguration, {}, ProgressDisplay::Mode::Silent,
      [&](unsigned int* status) { return object_->CleanFile(name.get(), status); }, result);
  if (!ran) return kError;

  // The object's report holds the one file it was asked to clean.
  ScanReport report;
  if (!loadReport(kCompleteReport, report)) return kError;
  if (result.cancelled()) {
    std::printf("%s: cancelled\n", TerminalText::escaped(line.path).c_str());
    return result.cancelledStatus();
  }
  const ScanReport::Counts counts = report.counts();
  if (counts.infected > 0 || result.detections > 0) {
    const auto detections = report.detections();
    const std::string virus = detections.empty() ? std::string("an unnamed detection") : detections.front().virusName;
    const bool cleaned = !detections.empty() && detections.front().repaired;
    std::string outcome = cleaned ? "cleaned" : "not cleaned";
    if (!cleaned && !detections.empty() && detections.front().repairAttempted && detections.front().scanError != 0) {
      outcome += ": " + Diagnostics::repairFailure(detections.front().scanError);
    }
    std::printf("%s: infected with %s, %s\n", TerminalText::escaped(line.path).c_str(),
                TerminalText::escaped(virus).c_str(), outcome.c_str());
    return kFound;
  }
  if (counts.scanned == 0) {
    const auto states = report.itemStates();
    const std::string why = states.empty() ? std::string("the engine reported nothing of it")
                                           : Diagnostics::notScannedReason(states.front().scanError,
                                                                            states.front().objectSummary);
    Diagnostics::error("could not scan " + TerminalText::escaped(line.path) + ": " + why);
    return kError;
  }
  std::printf("%s: clean\n", TerminalText::escaped(line.path).c_str());
  return kNothingFound;
}
