#include "tools/ovrascan/CommandLine.h"

#include <span>
#include <string_view>

namespace {

using Command = CommandLine::Command;
using Arguments = std::span<char* const>;

constexpr std::string_view kHelp = "--help";

// One option argument split into its name and, after '=', its value.
struct Option {
  std::string_view name;
  std::string_view value;
  bool hasValue = false;

  explicit Option(std::string_view argument) : name(argument) {
    if (!argument.starts_with("--")) return;
    if (const std::size_t equals = argument.find('='); equals != std::string_view::npos) {
      name = argument.substr(0, equals);
      value = argument.substr(equals + 1);
      hasValue = true;
    }
  }
};

// The value of an option that takes a file name, from after '=' or the next
// argument. A next argument that looks like an option is one forgotten ("--report
// --quiet"); a file of such a name can still be given as ./--name or --report=--name.
std::string fileValue(const Option& option, Arguments arguments, std::size_t& i, std::string& target) {
  std::string_view value = option.value;
  if (!option.hasValue) {
    if (i + 1 >= arguments.size() || std::string_view(arguments[i + 1]).starts_with("--")) value = {};
    else value = arguments[++i];
  }
  if (value.empty()) return "option " + std::string(option.name) + " needs a file name";
  target = value;
  return {};
}

// Reads the options of `command`: flags (no value) and file options, by name.
// --help alone asks for the command's usage.
template <class FlagFor, class FileFor>
std::string parseOptions(Arguments arguments, CommandLine& line, Command command, const char* commandName,
                         FlagFor flagFor, FileFor fileFor) {
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const Option option(arguments[i]);
    bool* flag = flagFor(option.name);
    std::string* file = fileFor(option.name);
    if (option.name == kHelp && !option.hasValue) {
      line.command = Command::Help;
      line.helpTopic = command;
      return {};
    }
    if (flag != nullptr) {
      if (option.hasValue) return "option " + std::string(option.name) + " takes no value";
      *flag = true;
    } else if (file != nullptr) {
      if (std::string failure = fileValue(option, arguments, i, *file); !failure.empty()) return failure;
    } else {
      return "unknown argument '" + std::string(arguments[i]) + "' for " + commandName;
    }
  }
  return {};
}

std::string parseScan(Arguments arguments, CommandLine& line) {
  const std::string failure = parseOptions(
      arguments, line, Command::Scan, "scan",
      [&](std::string_view name) {
        return name == "--clean"             ? &line.clean
               : name == "--detections-only" ? &line.detectionsOnly
               : name == "--quiet"           ? &line.quiet
               : name == "--summary-only"    ? &line.summaryOnly
               : name == "--no-cache"        ? &line.noCache
                                             : nullptr;
      },
      [&](std::string_view name) {
        return name == "--config"   ? &line.configFile
               : name == "--report" ? &line.reportFile
               : name == "--json"   ? &line.jsonFile
                                    : nullptr;
      });
  if (!failure.empty() || line.command == Command::Help) return failure;
  // Said without a file to hold the detections report, the user would lose
  // nothing but would get something other than asked for.
  if (line.detectionsOnly && line.reportFile.empty() && line.jsonFile.empty()) {
    return "--detections-only needs --report FILE or --json FILE";
  }
  if (!line.reportFile.empty() && line.reportFile == line.jsonFile) return "--report and --json name the same file";
  return {};
}

std::string parseCleanFile(Arguments arguments, CommandLine& line) {
  // Any other argument is the path, whatever it looks like: "--clean" may well be
  // a file's name. A file called --help is given as ./--help.
  if (arguments.size() == 1 && arguments[0] == kHelp) {
    line.command = Command::Help;
    line.helpTopic = Command::CleanFile;
    return {};
  }
  if (arguments.size() != 1 || std::string_view(arguments[0]).empty()) return "clean-file needs exactly one PATH";
  line.path = arguments[0];
  return {};
}

// A count as the user writes it: decimal digits only, within 32 bits.
bool parseCount(std::string_view text, std::uint32_t& count) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFFu) return false;
  count = static_cast<std::uint32_t>(value);
  return true;
}

std::string parseSessionCount(Arguments arguments, CommandLine& line) {
  if (arguments.size() == 1 && arguments[0] == kHelp) {
    line.command = Command::Help;
    line.helpTopic = Command::SessionCount;
    return {};
  }
  if (arguments.empty()) return {};
  const std::string_view action = arguments[0];
  std::size_t next = 1;
  if (action == "set") {
    line.sessionAction = CommandLine::SessionAction::Set;
    if (arguments.size() < 2 || !parseCount(arguments[1], line.sessionCount)) {
      return "session-count set needs a count from 0 to 4294967295";
    }
    next = 2;
  } else if (action == "increment") {
    line.sessionAction = CommandLine::SessionAction::Increment;
  } else {
    return "unknown argument '" + std::string(action) + "' for session-count";
  }
  for (; next < arguments.size(); ++next) {
    if (std::string_view(arguments[next]) != "--persist" || line.persist) {
      return "unknown argument '" + std::string(arguments[next]) + "' for session-count " + std::string(action);
    }
    line.persist = true;
  }
  return {};
}

std::string parseLog(Arguments arguments, CommandLine& line) {
  constexpr std::uint64_t kMostLines = 1000000;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const Option option(arguments[i]);
    if (option.name == kHelp && !option.hasValue) {
      line.command = Command::Help;
      line.helpTopic = Command::Log;
      return {};
    }
    if (option.name != "--lines") return "unknown argument '" + std::string(arguments[i]) + "' for log";
    std::string_view value = option.value;
    if (!option.hasValue) value = i + 1 < arguments.size() ? std::string_view(arguments[++i]) : std::string_view();
    std::uint64_t count = 0;
    bool digits = !value.empty() && value.size() <= 7;
    for (const char c : value) {
      if (c < '0' || c > '9') digits = false;
      else count = count * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!digits || count == 0 || count > kMostLines) return "--lines needs a number from 1 to 1000000";
    line.logLines = static_cast<std::uint32_t>(count);
  }
  return {};
}

std::string parseLogSettings(Arguments arguments, CommandLine& line) {
  if (arguments.size() == 1 && arguments[0] == kHelp) {
    line.command = Command::Help;
    line.helpTopic = Command::LogSettings;
    return {};
  }
  if (arguments.empty()) return {};
  if (std::string_view(arguments[0]) != "set") {
    return "unknown argument '" + std::string(arguments[0]) + "' for log-settings";
  }
  if (arguments.size() < 3 || std::string_view(arguments[1]).empty() ||
      !parseCount(arguments[2], line.logSettingValue)) {
    return "log-settings set needs a KEY and a VALUE from 0 to 4294967295";
  }
  line.logSettingKey = arguments[1];
  for (std::size_t next = 3; next < arguments.size(); ++next) {
    if (std::string_view(arguments[next]) != "--global" || line.logSettingGlobal) {
      return "unknown argument '" + std::string(arguments[next]) + "' for log-settings set";
    }
    line.logSettingGlobal = true;
  }
  return {};
}

std::string parseNothing(const char* name, Arguments arguments) {
  return arguments.empty() ? std::string() : std::string(name) + " takes no arguments";
}

std::string parseCollect(Arguments arguments, CommandLine& line) {
  return parseOptions(
      arguments, line, Command::Collect, "collect",
      [&](std::string_view name) {
        return name == "--upload" ? &line.upload : name == "--clean-session" ? &line.cleanSession : nullptr;
      },
      [&](std::string_view name) {
        return name == "--tool" ? &line.toolPath : name == "--save-archive" ? &line.archiveFile : nullptr;
      });
}

struct CommandEntry {
  std::string_view names[3];
  Command command;
  std::string (*parse)(Arguments, CommandLine&);
  const char* usage;
};

constexpr CommandEntry kCommands[] = {
    {{"scan"},
     Command::Scan,
     parseScan,
     "  ovrascan scan [--clean] [--config FILE] [--report FILE] [--json FILE] [--detections-only]\n"
     "                [--quiet | --summary-only] [--no-cache]\n"
     "      Scan the executable modules of every running process.\n"
     "      --clean            clean what is found (delete or quarantine, as the data set says)\n"
     "      --config FILE      scan configuration document (UTF-8 XML) instead of the built-in one;\n"
     "                         it must select at least one scan type (scanconfig/scantype/item)\n"
     "      --report FILE      write the XML report to FILE (UTF-8; UTF-16 when FILE ends in .utf16.xml)\n"
     "      --json FILE        write the report to FILE as JSON: {\"version\": \"1.0\", \"items\": [...]},\n"
     "                         one object per scanned item with the XML report's attribute names;\n"
     "                         names that are not UTF-8 keep each such byte as \\udc80..\\udcff\n"
     "      --detections-only  the report files hold only the infected objects\n"
     "      --quiet            show no progress\n"
     "      --summary-only     show only the summary (no progress, no list of detections)\n"
     "      --no-cache         read every object, even those the engine found clean before\n"
     "                         and that have not changed since (see ovrascan cache clear)\n"
     "      Detections are listed on stdout unless a report file holds them. A report file\n"
     "      is replaced only once the new one is complete; when it cannot be written the old\n"
     "      one stays, the detections are listed on stdout, and the exit status is 2. No\n"
     "      symbolic link is followed in a report file's path.\n"
     "      A scan that examines no object is an error (exit status 2); so is one that\n"
     "      finds nothing but could not scan some object (each is listed with the reason;\n"
     "      one that vanished before it was read, as a module of a process that ended,\n"
     "      is listed but missed nothing).\n"
     "      The summary counts the processes whose modules could not be listed at all.\n"},
    {{"clean-file"},
     Command::CleanFile,
     parseCleanFile,
     "  ovrascan clean-file PATH\n"
     "      Scan one regular file and clean it when it is infected. The engine never\n"
     "      follows a symbolic link: a PATH that is one is refused with the name of its\n"
     "      target (exit status 2); give the target itself to clean it. When the file\n"
     "      cannot be scanned, the engine's reason is shown.\n"},
    {{"session-count"},
     Command::SessionCount,
     parseSessionCount,
     "  ovrascan session-count [set N [--persist] | increment [--persist]]\n"
     "      Show the clean-session counter and whether it is kept after uninstallation,\n"
     "      or set it to N or add one, through the virus-scan object as a script does.\n"
     "      The counter stops at 1024. --persist keeps it after uninstallation; without\n"
     "      it, set and increment clear that flag. Stored in the registry database\n"
     "      $VX_MACHINE_DIR/Vexora/registry.db (default /var/lib); writing needs root.\n"},
    {{"collect"},
     Command::Collect,
     parseCollect,
     "  ovrascan collect [--upload] [--clean-session] [--save-archive FILE] [--tool PATH]\n"
     "      Gather suspicious files of this machine with the collector tool (Sifter.exe\n"
     "      beside ovrascan, started only when its signature is trusted) through the\n"
     "      suspicious-scan object, as a script does. The collector's progress is shown\n"
     "      while it runs; then each collected file with its reason, and the archive.\n"
     "      --upload           send the archive to the submission address of the\n"
     "                         collector's settings file (Sifter.ini beside it)\n"
     "      --clean-session    delete the session folder (report and archive) at the end\n"
     "      --save-archive FILE  copy the archive to FILE before the session ends (the\n"
     "                         session folder goes when ovrascan exits)\n"
     "      --tool PATH        another collector executable (its name must contain .exe)\n"
     "      Exit status 0 nothing collected, 1 files collected, 2 an error (the\n"
     "      collector's exit code or the component's status is shown).\n"},
    {{"register"},
     Command::Register,
     [](Arguments arguments, CommandLine&) { return parseNothing("register", arguments); },
     "  ovrascan register\n"
     "      Register the component module beside ovrascan, its two classes and its type\n"
     "      library in the registry database (as DllRegisterServer does), so that clients\n"
     "      create the objects by ProgID: Ovrascan.CoCVxVirusScan, Ovrascan.VxSuspiciousScan.\n"},
    {{"unregister"},
     Command::Unregister,
     [](Arguments arguments, CommandLine&) { return parseNothing("unregister", arguments); },
     "  ovrascan unregister\n"
     "      Remove what register wrote (DllUnregisterServer).\n"},
    {{"version", "--version"},
     Command::Version,
     [](Arguments arguments, CommandLine&) { return parseNothing("version", arguments); },
     "  ovrascan version | --version\n"
     "      Show the versions of the component, the engine and the data set.\n"},
    {{"log-settings"},
     Command::LogSettings,
     parseLogSettings,
     "  ovrascan log-settings [set KEY VALUE [--global]]\n"
     "      Show the log settings in force (from the global and the program's log.ini),\n"
     "      each stored value that is not used and why, the log folder and the current\n"
     "      log file; or store VALUE for KEY (Enable, MaxSize 25600..512000, MaxEntries\n"
     "      2..10, Severity 0..5, Options) in the program's log.ini (--global: the\n"
     "      global one).\n"},
    {{"log"},
     Command::Log,
     parseLog,
     "  ovrascan log [--lines N]\n"
     "      Show the newest N lines (default 10) of the log as UTF-8, oldest first,\n"
     "      going back into the older files of the rotation when the current one\n"
     "      holds fewer.\n"},
    {{"help", "--help", "-h"},
     Command::Help,
     [](Arguments arguments, CommandLine&) { return parseNothing("help", arguments); },
     "  ovrascan --help | COMMAND --help\n"},
};

}  // namespace

std::string CommandLine::parse(int argc, char** argv, CommandLine& line) {
  line = CommandLine{};
  int first = 1;
  if (argc > first && std::string_view(argv[first]) == "--activate") {
    line.activate = true;
    ++first;
  }
  if (argc <= first) return "no command given";
  const std::string_view name = argv[first];
  const Arguments arguments(argv + first + 1, static_cast<std::size_t>(argc - first - 1));
  for (const CommandEntry& entry : kCommands) {
    for (std::string_view known : entry.names) {
      if (known.empty() || known != name) continue;
      line.command = entry.command;
      return entry.parse(arguments, line);
    }
  }
  return "unknown command '" + std::string(name) + "'";
}

std::string CommandLine::usage(Command topic) {
  std::string text = "Usage:\n";
  for (const CommandEntry& entry : kCommands) {
    if (topic == Command::Help || topic == entry.command) text += entry.usage;
  }
  if (topic == Command::Help) {
    text +=
        "  ovrascan --activate COMMAND ...\n"
        "      Create the objects by ProgID through the registry database (see register)\n"
        "      instead of loading the module beside ovrascan.\n"
        "  ovrascan quarantine list\n"
        "  ovrascan quarantine restore ID\n"
        "      List the quarantined files, or put one back where it was (root only).\n"
        "  ovrascan cache clear\n"
        "      Forget which files the engine found clean, so that the next scan reads\n"
        "      every object ($VX_MACHINE_DIR/Vexora/verdicts.cache, default /var/lib).\n";
  }
  if (topic == Command::Help || topic == Command::Scan) {
    text +=
        "\n"
        "Ctrl-C, SIGTERM and SIGHUP cancel a running scan; the report then holds what was\n"
        "scanned so far. A second one exits at once.\n"
        "Exit status: 0 nothing found, 1 something found (also when it was cleaned),\n"
        "2 an error or an object not scanned, 130 / 143 / 129 cancelled by Ctrl-C / SIGTERM / SIGHUP.\n";
  }
  return text;
}
