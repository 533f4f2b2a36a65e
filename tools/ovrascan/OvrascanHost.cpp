#include "tools/ovrascan/OvrascanHost.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "foundation/VxErrorCodes.h"
#include "platform/Utf8.h"
#include "platform/automation/UniqueBstr.h"
#include "platform/automation/UniqueVariant.h"
#include "tools/ovrascan/Diagnostics.h"
#include "tools/ovrascan/InterruptWatcher.h"
#include "tools/ovrascan/ScanReport.h"
#include "tools/ovrascan/TextFile.h"

using platform::automation::com_ptr;
using platform::automation::UniqueBstr;
using platform::automation::UniqueVariant;

namespace {

// Every detection category, every module of every running process, as many
// objects as one scan may take. Every category may also be cleaned: the engine
// repairs only the categories listed here, and only when asked to clean (Scan
// and Clean, CleanFile); a scan alone changes nothing.
constexpr wchar_t kDefaultConfiguration[] =
    LR"(<scanconfig><maxscancount value="65535"/>)"
    LR"(<scantype><item type="virus"/><item type="trojan"/><item type="pup"/><item type="test"/></scantype>)"
    LR"(<cleantype><item type="virus"/><item type="trojan"/><item type="pup"/><item type="test"/></cleantype>)"
    LR"(<source><item type="processes"/></source></scanconfig>)";

constexpr unsigned int kScanOnly = 1;
constexpr unsigned int kScanAndClean = 2;
constexpr unsigned int kCompleteReport = 1;
constexpr unsigned int kDetectionsReport = 2;
constexpr unsigned int kVersionTypes = 3;

std::string utf8(const std::wstring& text) { return platform::encodeUtf8(text.data(), text.size()); }

std::wstring wide(const std::string& text) { return platform::decodeUtf8(text.data(), text.size()); }

// True when the call worked; otherwise its failure is reported. Make the call
// first: an argument list does not order the call before the read of its status.
bool succeeded(const std::string& what, HRESULT hr, unsigned int status) {
  if (FAILED(hr)) {
    Diagnostics::hresultFailure(what, hr);
    return false;
  }
  if (status != 0) {
    Diagnostics::statusFailure(what, status);
    return false;
  }
  return true;
}

void printSummary(const char* headline, const ScanReport::Counts& counts, double seconds) {
  std::printf("%s\n", headline);
  std::printf("Objects scanned: %u\n", counts.scanned);
  std::printf("Infected:        %u\n", counts.infected);
  std::printf("Cleaned:         %u\n", counts.cleaned);
  std::printf("Errors:          %u\n", counts.errors);
  std::printf("Elapsed time:    %.2f s\n", seconds);
}

void printDetections(const std::vector<ScanReport::Detection>& detections) {
  if (detections.empty()) return;
  std::printf("Detections:\n");
  for (const auto& detection : detections) {
    std::printf("  %s: %s%s\n", detection.name.c_str(), detection.virusName.c_str(),
                detection.repaired ? " (cleaned)" : "");
  }
}

}  // namespace

int OvrascanHost::run(const CommandLine& line) {
  if (line.command == CommandLine::Command::Help) {
    std::fputs(CommandLine::usage(), stdout);
    return kNothingFound;
  }
  // Before the module exists: its threads must inherit the blocked Ctrl-C.
  if (line.command != CommandLine::Command::Version) InterruptWatcher::blockInterrupts();
  if (!open()) return close(kError);
  switch (line.command) {
    case CommandLine::Command::Version: return close(version());
    case CommandLine::Command::Scan: return close(scan(line));
    case CommandLine::Command::CleanFile: return close(cleanFile(line));
    case CommandLine::Command::Help: break;
  }
  return close(kError);
}

bool OvrascanHost::open() {
  if (const std::string failure = module_.load(); !failure.empty()) {
    Diagnostics::error(failure);
    return false;
  }
  std::string step;
  if (const HRESULT hr = module_.createVirusScan(object_, step); FAILED(hr)) {
    Diagnostics::hresultFailure(step, hr);
    return false;
  }
  return true;
}

int OvrascanHost::close(int exitCode) {
  int status = exitCode;
  if (object_) {
    unsigned int uninitialized = 0;
    const HRESULT hr = object_->Uninitialize(VARIANT_TRUE, &uninitialized);
    // An object that never started a kernel has nothing to stop; that is no failure.
    if (!succeeded("Uninitialize", hr, uninitialized == VX_E_NOT_INITIALIZED ? 0 : uninitialized)) status = kError;
    object_.reset();
  }
  if (const HRESULT canUnload = module_.canUnloadNow(); canUnload != S_OK) {
    Diagnostics::error("the component module is still in use after its object was released (DllCanUnloadNow returned " +
                       Diagnostics::codeText(static_cast<std::uint32_t>(canUnload)) + ")");
    if (status == kNothingFound || status == kFound) status = kError;
  }
  std::fflush(stdout);
  return status;
}

int OvrascanHost::version() {
  static constexpr const char* kLabels[kVersionTypes] = {"Component", "Engine", "Data set"};
  for (unsigned int type = 0; type < kVersionTypes; ++type) {
    UniqueBstr text;
    if (const HRESULT hr = object_->GetVersion(type, text.put()); FAILED(hr)) {
      Diagnostics::hresultFailure("GetVersion(" + std::to_string(type) + ")", hr);
      return kError;
    }
    std::printf("%-10s %s\n", (std::string(kLabels[type]) + ":").c_str(), utf8(std::wstring(text.view())).c_str());
  }
  return kNothingFound;
}

int OvrascanHost::scan(const CommandLine& line) {
  std::wstring configuration = kDefaultConfiguration;
  if (!line.configFile.empty()) {
    if (const std::string failure = TextFile::readUtf8(line.configFile, configuration); !failure.empty()) {
      Diagnostics::error("configuration: " + failure);
      return kError;
    }
    if (configuration.find_first_not_of(L" \t\r\n") == std::wstring::npos) {
      Diagnostics::error("configuration: " + line.configFile + " is empty");
      return kError;
    }
  }
  if (!line.reportFile.empty()) {
    if (const std::string failure = TextFile::checkWritable(line.reportFile); !failure.empty()) {
      Diagnostics::error("report: " + failure);
      return kError;
    }
  }
  const unsigned int scanType = line.clean ? kScanAndClean : kScanOnly;
  OperationResult result;
  const bool ran = runOperation(
      "Scan", configuration, ProgressDisplay::modeFor(line.quiet, stdout),
      [&](unsigned int* status) { return object_->Scan(scanType, status); }, result);
  if (!ran) return kError;

  ScanReport report;
  if (!loadReport(kCompleteReport, report)) return kError;
  const ScanReport::Counts counts = report.counts();
  if (!line.reportFile.empty()) {
    ScanReport written;
    if (line.detectionsOnly && !loadReport(kDetectionsReport, written)) return kError;
    const ScanReport& source = line.detectionsOnly ? written : report;
    const std::string bytes = source.bytes(ScanReport::encodingFor(line.reportFile));
    if (const std::string failure = TextFile::write(line.reportFile, bytes); !failure.empty()) {
      Diagnostics::error("report: " + failure);
      return kError;
    }
  } else {
    printDetections(report.detections());
  }
  const bool cancelled = result.outcome.kind == OperationMonitor::Outcome::Kind::Cancelled;
  printSummary(cancelled ? "Scan cancelled; the counts cover the objects done until then."
                         : "Scan complete.",
               counts, result.seconds);
  if (!line.reportFile.empty()) std::printf("Report written to %s\n", line.reportFile.c_str());
  if (result.interrupted) return kInterrupted;
  return counts.infected > 0 || result.detections > 0 ? kFound : kNothingFound;
}

int OvrascanHost::cleanFile(const CommandLine& line) {
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(line.path, error);
  if (error) {
    Diagnostics::error("cannot clean " + line.path + ": " + error.message());
    return kError;
  }
  const std::string path = absolute.string();
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    Diagnostics::error("cannot clean " + line.path + ": " + std::strerror(errno));
    return kError;
  }
  if (!S_ISREG(info.st_mode)) {
    Diagnostics::error("cannot clean " + line.path + ": not a regular file");
    return kError;
  }
  const UniqueBstr name(wide(path));
  if (!name.copied()) {
    Diagnostics::error("cannot clean " + line.path + ": out of memory");
    return kError;
  }
  OperationResult result;
  const bool ran = runOperation(
      "CleanFile", kDefaultConfiguration, ProgressDisplay::Mode::Silent,
      [&](unsigned int* status) { return object_->CleanFile(name.get(), status); }, result);
  if (!ran) return kError;

  // The object's report holds the one file it was asked to clean.
  ScanReport report;
  if (!loadReport(kCompleteReport, report)) return kError;
  if (result.interrupted) {
    std::printf("%s: cancelled\n", line.path.c_str());
    return kInterrupted;
  }
  const ScanReport::Counts counts = report.counts();
  if (counts.infected > 0 || result.detections > 0) {
    const auto detections = report.detections();
    const std::string virus = detections.empty() ? std::string("an unnamed detection") : detections.front().virusName;
    const bool cleaned = !detections.empty() && detections.front().repaired;
    std::printf("%s: infected with %s, %s\n", line.path.c_str(), virus.c_str(), cleaned ? "cleaned" : "not cleaned");
    return kFound;
  }
  if (counts.scanned == 0) {
    Diagnostics::error("could not scan " + line.path);
    return kError;
  }
  std::printf("%s: clean\n", line.path.c_str());
  return kNothingFound;
}

bool OvrascanHost::runOperation(const std::string& name, const std::wstring& configuration,
                                ProgressDisplay::Mode mode, const std::function<HRESULT(unsigned int*)>& start,
                                OperationResult& result) {
  auto display = std::make_shared<ProgressDisplay>(mode, stdout);
  OperationMonitor monitor(display);
  const com_ptr<IDispatch> callbacks = monitor.callbackObject();
  if (!callbacks) {
    Diagnostics::error("cannot make the callback object: out of memory");
    return false;
  }
  UniqueVariant sink;
  sink->vt = VT_DISPATCH;
  sink->pdispVal = com_ptr<IDispatch>(callbacks).detach();
  unsigned int status = 0;
  HRESULT hr = object_->Register(*sink.get(), &status);
  if (!succeeded("Register", hr, status)) return false;

  const UniqueBstr text(configuration);
  if (!text.copied()) {
    Diagnostics::error("cannot pass the configuration: out of memory");
    return false;
  }
  status = 0;
  hr = object_->SetConfig(text.get(), &status);
  if (!succeeded("SetConfig", hr, status)) return false;

  // Runs on the watcher thread while this one waits. It must not touch stdout's
  // buffer: a progress line may be stuck there on a full pipe, holding its lock.
  // The note comes after the Cancel, so a reader of stderr knows the object had
  // the request when it sees it.
  InterruptWatcher watcher([&](unsigned count) {
    if (count > 1) {
      display->note("interrupted again; exiting without waiting for the cancel");
      std::_Exit(kInterrupted);
    }
    if (monitor.interrupt()) cancel(*display);
    display->note("cancelling (press Ctrl-C again to exit at once)");
  });
  if (!watcher.failure().empty()) Diagnostics::error(watcher.failure() + "; Ctrl-C will end ovrascan at once");

  const auto begin = std::chrono::steady_clock::now();
  status = 0;
  hr = start(&status);
  if (!succeeded(name, hr, status)) return false;
  if (monitor.started()) cancel(*display);
  result.outcome = monitor.wait();
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  display->finish();
  result.interrupted = monitor.interrupted();
  result.detections = monitor.detections();
  if (result.outcome.kind == OperationMonitor::Outcome::Kind::Failed) {
    Diagnostics::error(name + " ended with error " + Diagnostics::codeText(result.outcome.error));
    return false;
  }
  return true;
}

void OvrascanHost::cancel(ProgressDisplay& display) {
  unsigned int status = 0;
  const HRESULT hr = object_->Cancel(&status);
  // The operation may have ended between the Ctrl-C and the Cancel.
  if (SUCCEEDED(hr) && (status == 0 || status == VX_E_NOTHING_TO_CANCEL)) return;
  const std::uint32_t code = FAILED(hr) ? static_cast<std::uint32_t>(hr) : status;
  display.note(std::string("Cancel failed with ") + (FAILED(hr) ? "HRESULT " : "status ") +
               Diagnostics::codeText(code) + "; the operation goes on");
}

bool OvrascanHost::fetchReport(unsigned int type, std::wstring& text) {
  UniqueBstr report;
  if (const HRESULT hr = object_->GetReport(type, report.put()); FAILED(hr)) {
    Diagnostics::hresultFailure("GetReport(" + std::to_string(type) + ")", hr);
    return false;
  }
  text.assign(report.view());
  return true;
}

bool OvrascanHost::loadReport(unsigned int type, ScanReport& report) {
  std::wstring text;
  if (!fetchReport(type, text)) return false;
  if (const std::string failure = report.load(text); !failure.empty()) {
    Diagnostics::error("GetReport(" + std::to_string(type) + "): " + failure);
    return false;
  }
  return true;
}
