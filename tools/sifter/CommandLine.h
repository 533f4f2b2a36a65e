#pragma once
// The command lines Sifter.exe accepts:
//   Sifter.exe [--silent] [--offline] --zippath=DIR   collect into DIR
//   Sifter.exe --upload=ZIP                            send ZIP to the submission address
//   Sifter.exe --help | --version
// --silent and --offline are accepted for the runner's sake: the tool never asks
// questions and a collection never contacts the network, whatever they say.
//
// Stateless; safe from any thread.
#include <optional>
#include <string>
#include <vector>

namespace sifter {

enum class Mode { Scan, Upload, Help, Version };

struct Command {
  Mode mode = Mode::Help;
  std::string path;  // DIR for a scan, ZIP for an upload
};

// Nothing when the arguments (program name excluded) are not one of the forms
// above: an unknown or repeated option, an empty value, or both modes at once.
std::optional<Command> parseCommandLine(const std::vector<std::string>& arguments);

// The --help text, listing every exit code.
std::string usageText();

}  // namespace sifter
