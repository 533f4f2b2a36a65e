#include "tools/ovrascan/CommandLine.h"

#include <string_view>

namespace {

std::string parseScan(int argc, char** argv, int first, CommandLine& line) {
  for (int i = first; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--clean") {
      line.clean = true;
    } else if (argument == "--detections-only") {
      line.detectionsOnly = true;
    } else if (argument == "--quiet") {
      line.quiet = true;
    } else if (argument == "--config" || argument == "--report") {
      // A value that looks like an option is one forgotten ("--report --quiet");
      // a file of such a name can still be given as ./--name.
      if (i + 1 >= argc || std::string_view(argv[i + 1]).empty() || std::string_view(argv[i + 1]).starts_with("--")) {
        return "option " + std::string(argument) + " needs a file name";
      }
      (argument == "--config" ? line.configFile : line.reportFile) = argv[++i];
    } else {
      return "unknown argument '" + std::string(argument) + "' for scan";
    }
  }
  // Said without a file to hold the detections report, the user would lose
  // nothing but would get something other than asked for.
  if (line.detectionsOnly && line.reportFile.empty()) return "--detections-only needs --report FILE";
  return {};
}

}  // namespace

std::string CommandLine::parse(int argc, char** argv, CommandLine& line) {
  line = CommandLine{};
  if (argc < 2) return "no command given";
  const std::string_view command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    if (argc > 2) return "help takes no arguments";
    line.command = Command::Help;
    return {};
  }
  if (command == "version") {
    if (argc > 2) return "version takes no arguments";
    line.command = Command::Version;
    return {};
  }
  if (command == "scan") {
    line.command = Command::Scan;
    return parseScan(argc, argv, 2, line);
  }
  if (command == "clean-file") {
    if (argc != 3 || std::string_view(argv[2]).empty()) return "clean-file needs exactly one PATH";
    line.command = Command::CleanFile;
    line.path = argv[2];
    return {};
  }
  return "unknown command '" + std::string(command) + "'";
}

const char* CommandLine::usage() {
  return "Usage:\n"
         "  ovrascan scan [--clean] [--config FILE] [--report FILE [--detections-only]] [--quiet]\n"
         "      Scan the executable modules of every running process.\n"
         "      --clean            clean what is found (delete or quarantine, as the data set says)\n"
         "      --config FILE      scan configuration document (UTF-8 XML) instead of the built-in one\n"
         "      --report FILE      write the report to FILE (UTF-8; UTF-16 when FILE ends in .utf16.xml)\n"
         "      --detections-only  the report holds only the infected objects\n"
         "      --quiet            show no progress\n"
         "  ovrascan clean-file PATH\n"
         "      Scan one file and clean it when it is infected.\n"
         "  ovrascan quarantine list\n"
         "  ovrascan quarantine restore ID\n"
         "      List the quarantined files, or put one back where it was (root only).\n"
         "  ovrascan version\n"
         "      Show the versions of the component, the engine and the data set.\n"
         "  ovrascan --help\n"
         "\n"
         "Ctrl-C cancels a running scan; the report then holds what was scanned so far.\n"
         "Exit status: 0 nothing found, 1 something found (also when it was cleaned),\n"
         "2 an error, 130 cancelled with Ctrl-C.\n";
}
