// ovrascan: the command-line host of the scan component. See CommandLine::usage()
// for the commands and OvrascanHost for how it drives the component.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/ovrascan/CacheCommand.h"
#include "tools/ovrascan/CommandLine.h"
#include "tools/ovrascan/Diagnostics.h"
#include "tools/ovrascan/OvrascanHost.h"
#include "tools/ovrascan/QuarantineCommand.h"

int main(int argc, char** argv) {
  if (argc >= 2 && std::string_view(argv[1]) == "quarantine") {
    return QuarantineCommand::run(std::vector<std::string>(argv + 2, argv + argc));
  }
  if (argc >= 2 && std::string_view(argv[1]) == "cache") {
    return CacheCommand::run(std::vector<std::string>(argv + 2, argv + argc));
  }
  CommandLine line;
  if (const std::string mistake = CommandLine::parse(argc, argv, line); !mistake.empty()) {
    Diagnostics::error(mistake + " (see ovrascan --help)");
    if (argc < 2) std::fputs(CommandLine::usage().c_str(), stderr);
    return OvrascanHost::kError;
  }
  // The engine reads this when it starts, before any thread of ours runs.
  if (line.command == CommandLine::Command::Scan && line.noCache) ::setenv("VX_SCAN_CACHE", "off", 1);
  OvrascanHost host;
  return host.run(line);
}
