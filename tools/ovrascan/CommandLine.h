#pragma once
// CommandLine: what the user asked ovrascan to do, read from argv. Parsing never
// exits or prints: a mistake comes back as a one-line message for the caller to show.
//
// Commands are rows of one table (CommandLine.cpp): a name, the function that
// reads its arguments and its section of the usage text. A new command adds a
// value to Command, a row, and its runner in a file of its own.
//
// Options take their value as the next argument or after '=' ("--report r.xml"
// or "--report=r.xml").
//
// A value type; no shared state.
#include <cstdint>
#include <string>

struct CommandLine {
  enum class Command { Help, Version, Scan, CleanFile, SessionCount, LogSettings, Log, Collect, Register, Unregister };
  enum class SessionAction { Show, Set, Increment };

  Command command = Command::Help;
  // --activate before the command: create the objects through registration.
  bool activate = false;
  // Help: whose usage to show (Help itself: all of it).
  Command helpTopic = Command::Help;
  // Scan
  bool clean = false;
  bool detectionsOnly = false;
  bool quiet = false;
  bool summaryOnly = false;
  bool noCache = false;    // read every object, whatever the engine remembers
  std::string configFile;  // empty: the built-in configuration
  std::string reportFile;  // empty: no XML report
  std::string jsonFile;    // empty: no JSON report
  // CleanFile
  std::string path;
  // SessionCount
  SessionAction sessionAction = SessionAction::Show;
  std::uint32_t sessionCount = 0;  // Set
  bool persist = false;            // Set, Increment
  // Collect
  bool upload = false;
  bool cleanSession = false;
  std::string toolPath;     // empty: the object's default collector
  std::string archiveFile;  // empty: the archive is not kept
  // LogSettings set: the key (empty: show the settings), its value and whether
  // it goes to the global log.ini
  std::string logSettingKey;
  std::uint32_t logSettingValue = 0;
  bool logSettingGlobal = false;
  // Log: how many of the newest lines to show
  std::uint32_t logLines = 10;

  // Fills `line` from the arguments after the program name. Returns an empty text,
  // or what is wrong with the arguments.
  static std::string parse(int argc, char** argv, CommandLine& line);

  // The usage text of `topic`; Help gives the whole text.
  static std::string usage(Command topic = Command::Help);
};
