// Sifter.exe, the collector tool: gathers suspicious files of this machine into
// an archive with a report, and uploads such an archive. See CommandLine.h for
// the command lines, SifterSettings.h for Sifter.ini and SifterExitCode.h for the
// exit codes.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/VxProductVersion.h"
#include "platform/FileVersionNote.h"
#include "tools/sifter/CommandLine.h"
#include "tools/sifter/Progress.h"
#include "tools/sifter/SifterExitCode.h"
#include "tools/sifter/SifterScan.h"
#include "tools/sifter/SifterSettings.h"
#include "tools/sifter/SifterUpload.h"

VX_FILE_VERSION_NOTE(kVxProductVersionMajor, kVxProductVersionMinor, kVxProductVersionBuild,
                     kVxProductVersionRevision);

namespace {

int run(const std::vector<std::string>& arguments) {
  using namespace sifter;
  const auto command = parseCommandLine(arguments);
  if (!command) {
    std::fputs(usageText().c_str(), stderr);
    return toInt(ExitCode::Usage);
  }
  if (command->mode == Mode::Help) {
    std::fputs(usageText().c_str(), stdout);
    return toInt(ExitCode::Success);
  }
  if (command->mode == Mode::Version) {
    std::printf("Sifter.exe %u.%u.%u.%u\n", kVxProductVersionMajor, kVxProductVersionMinor, kVxProductVersionBuild,
                kVxProductVersionRevision);
    return toInt(ExitCode::Success);
  }
  const auto settings = loadSettings(settingsPathOfProgram());
  if (!settings.ok) {
    progress("settings refused: " + settings.problem);
    return toInt(ExitCode::SettingsRefused);
  }
  if (command->mode == Mode::Scan) return toInt(runScan(command->path, settings.settings.scan));
  return toInt(runUpload(command->path, settings.settings.upload));
}

}  // namespace

int main(int argc, char** argv) {
  // Progress goes to stderr, which may be a pipe whose reader is gone; losing
  // a line must not end the run.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    sifter::progress(std::string("internal failure: ") + error.what());
    return sifter::toInt(sifter::ExitCode::InternalFailure);
  }
}
