// ovrascan: the command-line host of the scan component. See CommandLine::usage()
// for the commands and OvrascanHost for how it drives the component.
#include <cstdio>
#include <string>

#include "tools/ovrascan/CommandLine.h"
#include "tools/ovrascan/Diagnostics.h"
#include "tools/ovrascan/OvrascanHost.h"

int main(int argc, char** argv) {
  CommandLine line;
  if (const std::string mistake = CommandLine::parse(argc, argv, line); !mistake.empty()) {
    Diagnostics::error(mistake + " (see ovrascan --help)");
    if (argc < 2) std::fputs(CommandLine::usage().c_str(), stderr);
    return OvrascanHost::kError;
  }
  OvrascanHost host;
  return host.run(line);
}
