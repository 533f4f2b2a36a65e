// ovrascan scan: the executable modules of every running process, through the
// object's Scan, with the report written to files and summed up on stdout.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/VxAVEngineABI.h"
#include "platform/ProcessModules.h"
#include "tools/ovrascan/BuiltInConfiguration.h"
#include "tools/ovrascan/CacheCommand.h"
#include "tools/ovrascan/Diagnostics.h"
#include "tools/ovrascan/OvrascanHost.h"
#include "tools/ovrascan/ScanConfiguration.h"
#include "tools/ovrascan/ScanReport.h"
#include "tools/ovrascan/TerminalText.h"
#include "tools/ovrascan/TextFile.h"

namespace {

struct ReportFile {
  const char* kind;  // for the lines that name it
  const std::string& path;
  bool json;
};

void printSummary(const char* headline, const ScanReport::Counts& counts, std::uint32_t unreadableProcesses,
                  double seconds) {
  std::printf("%s\n", headline);
  std::printf("Objects scanned: %u\n", counts.scanned);
  std::printf("Not scanned:     %u\n", counts.notScanned);
  std::printf("Infected:        %u\n", counts.infected);
  std::printf("Cleaned:         %u\n", counts.cleaned);
  std::printf("Errors:          %u\n", counts.errors);
  std::printf("Unreadable processes: %u\n", unreadableProcesses);
  if (const auto cache = CacheCommand::stateInThisProcess(); cache && !cache->offReason.empty()) {
    std::printf("From cache:      off (%s)\n", TerminalText::escaped(cache->offReason).c_str());
  } else if (cache) {
    std::printf("From cache:      %llu\n", static_cast<unsigned long long>(cache->hits));
  }
  std::printf("Elapsed time:    %.2f s\n", seconds);
}

void printDetections(const std::vector<ScanReport::Detection>& detections) {
  if (detections.empty()) return;
  std::printf("Detections:\n");
  for (const auto& detection : detections) {
    std::string outcome;
    if (detection.repaired) {
      outcome = " (cleaned)";
    } else if (detection.repairAttempted && detection.scanError != 0) {
      outcome = " (not cleaned: " + Diagnostics::repairFailure(detection.scanError) + ")";
    }
    std::printf("  %s: %s%s\n", TerminalText::escaped(detection.name).c_str(),
                TerminalText::escaped(detection.virusName).c_str(), outcome.c_str());
  }
}

// So that an operator can stop what runs an infected module.
void printHolders(const std::vector<ScanReport::Detection>& detections) {
  bool headed = false;
  for (const auto& detection : detections) {
    if (detection.repaired) continue;
    const std::vector<int> holders = platform::processesHoldingModule(detection.name);
    if (holders.empty()) continue;
    if (!headed) std::printf("Processes holding infected modules:\n");
    headed = true;
    std::string pids;
    for (const int pid : holders) pids += (pids.empty() ? "" : " ") + std::to_string(pid);
    std::printf("  %s: pids %s\n", TerminalText::escaped(detection.name).c_str(), pids.c_str());
  }
}

// Every object whose content was not examined, with the reason, so that none is
// left out silently.
void printNotScanned(const std::vector<ScanReport::ItemState>& items) {
  bool headed = false;
  for (const auto& item : items) {
    if (item.scanned) continue;
    if (!headed) std::printf("Objects not scanned:\n");
    headed = true;
    std::printf("  %s: %s\n", TerminalText::escaped(item.name).c_str(),
                Diagnostics::notScannedReason(item.scanError, item.objectSummary).c_str());
  }
}

// An object that was there but could not be scanned. One that vanished before it
// was read (its process ended, its file was removed) left nothing to miss: a scan
// of running processes meets those all the time.
bool missedAny(const std::vector<ScanReport::ItemState>& items) {
  return std::any_of(items.begin(), items.end(), [](const ScanReport::ItemState& item) {
    return !item.scanned && item.scanError != AV_SCAN_ERROR_NOT_FOUND;
  });
}

// Processes the scan could not see into, with the reason. One that denies us its
// map is the normal lot of a scan without root; one whose map never held still or
// outgrew the bound may be hiding a module, and fails the scan.
bool printUnreadable(const std::vector<platform::UnreadableProcess>& unreadable, bool listed) {
  bool hiding = false;
  bool headed = false;
  for (const platform::UnreadableProcess& process : unreadable) {
    if (process.reason == platform::UnreadableMapsReason::Permission) continue;
    hiding = true;
    if (!listed) continue;
    if (!headed) std::printf("Processes whose maps could not be read:\n");
    headed = true;
    std::printf("  pid %d: %s\n", process.pid,
                std::string(platform::describeUnreadableMapsReason(process.reason)).c_str());
  }
  return hiding;
}

// Reads the configuration file into `configuration`; false (failure reported) when
// it cannot be used.
bool readConfiguration(const std::string& file, std::wstring& configuration) {
  if (const std::string failure = TextFile::readUtf8(file, configuration); !failure.empty()) {
    Diagnostics::error("configuration: " + failure);
    return false;
  }
  if (configuration.find_first_not_of(L" \t\r\n") == std::wstring::npos) {
    Diagnostics::error("configuration: " + file + " is empty");
    return false;
  }
  return true;
}

// Refuses a configuration that selects no scan type; asked only once the object
// has parsed it, so that an error in the document is told first.
bool selectsAScanType(const std::string& file, const std::wstring& configuration) {
  if (!ScanConfiguration::selectsNoScanType(configuration)) return true;
  Diagnostics::error("configuration " + file +
                     " selects no scan type (no scanconfig/scantype/item): the engine would examine the "
                     "content of no object");
  return false;
}

}  // namespace

int OvrascanHost::scan(const CommandLine& line) {
  std::wstring configuration = kBuiltInConfiguration;
  if (!line.configFile.empty() && !readConfiguration(line.configFile, configuration)) return kError;
  const ReportFile files[] = {{"report", line.reportFile, false}, {"JSON report", line.jsonFile, true}};
  for (const ReportFile& file : files) {
    if (file.path.empty()) continue;
    if (const std::string failure = TextFile::checkWritable(file.path); !failure.empty()) {
      Diagnostics::error(std::string(file.kind) + ": " + failure);
      return kError;
    }
  }
  const unsigned int scanType = line.clean ? kScanAndClean : kScanOnly;
  OperationResult result;
  const bool ran = runOperation(
      "Scan", configuration, line.configFile, ProgressDisplay::modeFor(line.quiet || line.summaryOnly, stdout),
      [&](unsigned int* status) { return object_->Scan(scanType, status); }, result,
      [&] { return line.configFile.empty() || selectsAScanType(line.configFile, configuration); });
  if (!ran) return kError;

  ScanReport report;
  if (!loadReport(kCompleteReport, report)) return kError;
  ScanReport detectionsOnly;
  if (line.detectionsOnly && !loadReport(kDetectionsReport, detectionsOnly)) return kError;
  const ScanReport& written = line.detectionsOnly ? detectionsOnly : report;
  bool writeFailed = false;
  std::vector<const ReportFile*> done;
  for (const ReportFile& file : files) {
    if (file.path.empty()) continue;
    const std::string bytes = file.json ? written.json() : written.bytes(ScanReport::encodingFor(file.path));
    if (const std::string failure = TextFile::write(file.path, bytes); !failure.empty()) {
      Diagnostics::error(std::string(file.kind) + ": " + failure + "; it keeps what it held before");
      writeFailed = true;
    } else {
      done.push_back(&file);
    }
  }
  // The detections are listed unless a file holds them; when a file could not be
  // written they are listed whatever was asked, since nothing else keeps them.
  const bool inFiles = !done.empty() && !writeFailed;
  if (writeFailed || (!inFiles && !line.summaryOnly)) printDetections(report.detections());
  const ScanReport::Counts counts = report.counts();
  const std::vector<platform::UnreadableProcess> unreadable = platform::listProcessesWithUnreadableMaps();
  if (!line.summaryOnly) {
    printHolders(report.detections());
    printNotScanned(report.itemStates());
  }
  const bool unseenProcesses = printUnreadable(unreadable, !line.summaryOnly);
  printSummary(result.cancelled() ? "Scan cancelled; the counts cover the objects done until then." : "Scan complete.",
               counts, static_cast<std::uint32_t>(unreadable.size()), result.seconds);
  for (const ReportFile* file : done) {
    std::printf("%c%s written to %s\n", std::toupper(static_cast<unsigned char>(file->kind[0])), file->kind + 1,
                file->path.c_str());
  }
  if (writeFailed) return kError;
  if (result.cancelled()) return result.cancelledStatus();
  if (const std::uint64_t notQueued = report.objectsNotQueued(); notQueued != 0) {
    Diagnostics::error(std::to_string(notQueued) + " module" + (notQueued == 1 ? " was" : "s were") +
                       " not scanned: the scan reached the configuration's object limit (maxscancount) after " +
                       std::to_string(counts.items) + " objects");
    return kError;
  }
  if (counts.scanned == 0) {
    Diagnostics::error("the scan examined no object" +
                       (counts.notScanned == 0 ? std::string(" (the sources yielded none)")
                                               : " (" + std::to_string(counts.notScanned) +
                                                     " found, none of them scanned)"));
    return kError;
  }
  if (counts.infected > 0 || result.detections > 0) return kFound;
  if (unseenProcesses || report.processesNotListed() != 0) {
    Diagnostics::error("the modules of some processes could not be listed (their maps never held still or "
                       "exceeded the bound); they were not scanned");
    return kError;
  }
  return missedAny(report.itemStates()) ? kError : kNothingFound;
}
