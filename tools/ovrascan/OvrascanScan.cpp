// ovrascan scan: the executable modules of every running process, through the
// object's Scan, with the report written to files and summed up on stdout.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/ovrascan/BuiltInConfiguration.h"
#include "tools/ovrascan/CacheCommand.h"
#include "tools/ovrascan/Diagnostics.h"
#include "tools/ovrascan/OvrascanHost.h"
#include "tools/ovrascan/ScanConfiguration.h"
#include "tools/ovrascan/ScanReport.h"
#include "tools/ovrascan/TextFile.h"

namespace {

struct ReportFile {
  const char* kind;  // for the lines that name it
  const std::string& path;
  bool json;
};

void printSummary(const char* headline, const ScanReport::Counts& counts, double seconds) {
  std::printf("%s\n", headline);
  std::printf("Objects scanned: %u\n", counts.scanned);
  std::printf("Not scanned:     %u\n", counts.notScanned);
  std::printf("Infected:        %u\n", counts.infected);
  std::printf("Cleaned:         %u\n", counts.cleaned);
  std::printf("Errors:          %u\n", counts.errors);
  if (const auto fromCache = CacheCommand::hitsInThisProcess()) {
    std::printf("From cache:      %llu\n", static_cast<unsigned long long>(*fromCache));
  }
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
  if (ScanConfiguration::selectsNoScanType(configuration)) {
    Diagnostics::error("configuration " + file +
                       " selects no scan type (no scanconfig/scantype/item): the engine would examine the "
                       "content of no object");
    return false;
  }
  return true;
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
      [&](unsigned int* status) { return object_->Scan(scanType, status); }, result);
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
  printSummary(result.cancelled() ? "Scan cancelled; the counts cover the objects done until then." : "Scan complete.",
               counts, result.seconds);
  for (const ReportFile* file : done) {
    std::printf("%c%s written to %s\n", std::toupper(static_cast<unsigned char>(file->kind[0])), file->kind + 1,
                file->path.c_str());
  }
  if (writeFailed) return kError;
  if (result.cancelled()) return result.cancelledStatus();
  if (counts.scanned == 0) {
    Diagnostics::error("the scan examined no object" +
                       (counts.notScanned == 0 ? std::string(" (the sources yielded none)")
                                               : " (" + std::to_string(counts.notScanned) +
                                                     " found, none of them scanned)"));
    return kError;
  }
  return counts.infected > 0 || result.detections > 0 ? kFound : kNothingFound;
}
