#include "tools/sifter/CommandLine.h"

#include <string_view>
#include <utility>

#include "tools/sifter/SifterExitCode.h"

namespace sifter {

namespace {

// The value of "--name=value" when argument has that prefix.
std::optional<std::string> optionValue(std::string_view argument, std::string_view prefix) {
  if (!argument.starts_with(prefix)) return std::nullopt;
  return std::string(argument.substr(prefix.size()));
}

}  // namespace

std::optional<Command> parseCommandLine(const std::vector<std::string>& arguments) {
  bool silent = false;
  bool offline = false;
  std::optional<std::string> zipPath;
  std::optional<std::string> upload;
  std::optional<Mode> single;
  for (const auto& argument : arguments) {
    auto claim = [](bool& seen) { return !std::exchange(seen, true); };
    if (argument == "--silent") {
      if (!claim(silent)) return std::nullopt;
    } else if (argument == "--offline") {
      if (!claim(offline)) return std::nullopt;
    } else if (argument == "--help" || argument == "--version") {
      if (single) return std::nullopt;
      single = argument == "--help" ? Mode::Help : Mode::Version;
    } else if (auto value = optionValue(argument, "--zippath=")) {
      if (zipPath || value->empty()) return std::nullopt;
      zipPath = std::move(value);
    } else if (auto value = optionValue(argument, "--upload=")) {
      if (upload || value->empty()) return std::nullopt;
      upload = std::move(value);
    } else {
      return std::nullopt;
    }
  }
  if (single) {
    if (silent || offline || zipPath || upload) return std::nullopt;
    return Command{*single, {}};
  }
  if (zipPath && !upload) return Command{Mode::Scan, *zipPath};
  if (upload && !zipPath && !silent && !offline) return Command{Mode::Upload, *upload};
  return std::nullopt;
}

std::string usageText() {
  std::string text =
      "Usage:\n"
      "  Sifter.exe [--silent] [--offline] --zippath=DIR\n"
      "      Looks for suspicious files on this machine and writes, inside the existing\n"
      "      folder DIR: Sifter.zip (copies of the files), Logs/Files.xml (one entry per\n"
      "      file) and Sifter.xml (Sifter/Preferences/Zip-Path names the archive).\n"
      "      DIR must be a folder of the caller's own that nobody else may write.\n"
      "  Sifter.exe --upload=ZIP\n"
      "      Sends ZIP by HTTPS POST to the address in Sifter.ini beside the program.\n"
      "  Sifter.exe --help | --version\n"
      "\n"
      "Settings (Sifter.ini beside the program; optional for a scan):\n"
      "  [Upload] Address=https://host/path   CAFile=PEM file of the server's CA\n"
      "  [Scan]   WritableFolders=, ProgramFolders= (lists separated by ':'),\n"
      "           MaxDepth=, MaxEntries=, MaxFileSize=, MaxTotalSize=, RecentDays=,\n"
      "           Processes=0|1\n"
      "\n"
      "Exit codes:\n";
  for (const auto& entry : kExitCodeDescriptions) {
    std::string number = std::to_string(toInt(entry.code));
    text += "  " + std::string(4 - number.size(), ' ') + number + "  " + std::string(entry.text) + "\n";
  }
  return text;
}

}  // namespace sifter
