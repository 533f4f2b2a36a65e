#include "tools/sifter/SifterScan.h"

#include <unistd.h>

#include <climits>
#include <ctime>

#include "tools/sifter/ArchiveWriter.h"
#include "tools/sifter/AtomicFile.h"
#include "tools/sifter/Collection.h"
#include "tools/sifter/FolderScans.h"
#include "tools/sifter/OutputFolder.h"
#include "tools/sifter/ProcessScan.h"
#include "tools/sifter/Progress.h"
#include "tools/sifter/Reports.h"
#include "tools/sifter/RunnerFolders.h"

namespace sifter {

namespace {

constexpr char kArchiveName[] = "Sifter.zip";
constexpr char kLogsFolder[] = "Logs";
constexpr char kReportName[] = "Files.xml";
constexpr char kPreferencesName[] = "Sifter.xml";

std::string hostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::string walkSummary(const FolderScanCounts& counts) {
  return std::to_string(counts.files) + " files examined, " + std::to_string(counts.suspicious) + " suspicious" +
         (counts.truncated ? " (walk cut short by its limits)" : "");
}

void collect(const ScanSettings& settings, const OutputFolder& output, Collection& collection) {
  if (settings.processes) {
    progress("examining running processes ...");
    const auto counts = scanProcesses(settings.writableFolders, collection);
    progress("processes: " + std::to_string(counts.processes) + " examined, " + std::to_string(counts.suspicious) +
             " suspicious");
  }
  // Each walk has its own record of folders walked, so a folder named in both
  // lists is examined for both. The output folder is never entered, or the
  // tool would collect its own copies; nor is a collector runner's private
  // folder, where the session folders of this run and of concurrent ones hold
  // the copies those runs stage.
  FolderWalker writableWalker(settings.maxDepth, settings.maxEntries);
  writableWalker.exclude(output.identity());
  writableWalker.skipFolders(isRunnerPrivateFolder);
  progress("walking world-writable folders ...");
  progress("world-writable folders: " +
           walkSummary(scanWritableFolders(settings.writableFolders, writableWalker, collection)));
  FolderWalker programWalker(settings.maxDepth, settings.maxEntries);
  programWalker.exclude(output.identity());
  programWalker.skipFolders(isRunnerPrivateFolder);
  progress("walking program folders ...");
  progress("program folders: " + walkSummary(scanProgramFolders(settings.programFolders, settings.recentDays,
                                                                  std::time(nullptr), programWalker, collection)));
}

}  // namespace

ExitCode runScan(const std::string& folder, const ScanSettings& settings) {
  OutputFolder output;
  if (const auto problem = output.open(folder); !problem.empty()) {
    progress("cannot use " + folder + ": " + problem);
    return ExitCode::FolderUnusable;
  }
  StagingFolder staging;
  if (const auto problem = staging.create(output.fd()); !problem.empty()) {
    progress(problem);
    return ExitCode::WritingFailed;
  }
  Collection collection(staging.fd(), settings.maxFileSize, settings.maxTotalSize);
  collect(settings, output, collection);

  const auto& files = collection.files();
  const std::string zipPath = output.absolutePath() + "/" + kArchiveName;
  const std::string report = filesReport(files, hostName(), std::time(nullptr), zipPath);
  auto logs = openOrCreateSubfolder(output.fd(), kLogsFolder);
  if (!logs.valid()) {
    progress("cannot create the Logs folder");
    return ExitCode::WritingFailed;
  }
  if (const auto problem = writeFileAtomically(logs.get(), kReportName, report); !problem.empty()) {
    progress(problem);
    return ExitCode::WritingFailed;
  }
  std::size_t archived = 0;
  for (const auto& file : files) archived += file.archived ? 1 : 0;
  progress("writing archive: " + std::to_string(archived) + " of " + std::to_string(files.size()) + " files, " +
           std::to_string(collection.archivedBytes()) + " bytes ...");
  if (const auto problem = writeArchive(output.fd(), kArchiveName, staging.fd(), report, files); !problem.empty()) {
    progress("cannot write the archive: " + problem);
    return ExitCode::WritingFailed;
  }
  if (const auto problem = writeFileAtomically(output.fd(), kPreferencesName, preferencesDocument(zipPath));
      !problem.empty()) {
    progress(problem);
    return ExitCode::WritingFailed;
  }
  progress("done: " + std::to_string(files.size()) + " suspicious files, " + std::to_string(archived) +
           " archived in " + zipPath);
  return ExitCode::Success;
}

}  // namespace sifter
