#pragma once
// CommandLine: what the user asked ovrascan to do, read from argv. Parsing never
// exits or prints: a mistake comes back as a one-line message for the caller to show.
//
// A value type; no shared state.
#include <string>

struct CommandLine {
  enum class Command { Help, Version, Scan, CleanFile };

  Command command = Command::Help;
  // Scan
  bool clean = false;
  bool detectionsOnly = false;
  bool quiet = false;
  std::string configFile;  // empty: the built-in configuration
  std::string reportFile;  // empty: detections are listed on stdout
  // CleanFile
  std::string path;

  // Fills `line` from the arguments after the program name. Returns an empty text,
  // or what is wrong with the arguments.
  static std::string parse(int argc, char** argv, CommandLine& line);

  static const char* usage();
};
