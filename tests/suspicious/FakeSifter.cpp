// A stand-in for the collector tool, driven by the control file
// "fake-sifter.control" beside it, one "key value" per line:
//   exit <n>         exit code (default 0)
//   record <file>    append this run's arguments (tab-separated, one run a line)
//   started <fifo>   write one byte to this FIFO once the arguments are recorded
//   block <fifo>     then read this FIFO until the test writes to it or closes it
//   report ok|missing|huge <size>   what to put at <zippath>/Logs/Files.xml
//   prefs ok|malformed|none         what to put at <zippath>/Sifter.xml
//   zip <path>       the zip path named in Sifter.xml (default <zippath>/upload.zip)
//   locked yes       also leave <zippath>/Data/locked/file with "locked" read-only
// A run with "--zippath=<folder>" among its arguments is a scan; others only
// record and exit.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/FileVersionNote.h"

VX_FILE_VERSION_NOTE(1, 2, 3, 4);

namespace {

std::map<std::string, std::string> readControl(const std::string& program) {
  const std::size_t slash = program.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : program.substr(0, slash);
  std::ifstream in(folder + "/fake-sifter.control");
  std::map<std::string, std::string> control;
  for (std::string line; std::getline(in, line);) {
    const std::size_t blank = line.find(' ');
    if (blank != std::string::npos) control[line.substr(0, blank)] = line.substr(blank + 1);
  }
  return control;
}

void record(const std::string& file, int argc, char** argv) {
  std::string line;
  for (int i = 1; i < argc; ++i) line += (i > 1 ? "\t" : "") + std::string(argv[i]);
  std::ofstream(file, std::ios::app) << line << '\n';
}

void signalStarted(const std::string& fifo) {
  const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  if (fd < 0) return;
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
  ::close(fd);
}

void blockOn(const std::string& fifo) {
  const int fd = ::open(fifo.c_str(), O_RDONLY);
  if (fd < 0) return;
  char byte = 0;
  [[maybe_unused]] const ssize_t got = ::read(fd, &byte, 1);
  ::close(fd);
}

void writeReport(const std::string& folder, const std::string& how) {
  if (how == "missing") return;
  ::mkdir((folder + "/Logs").c_str(), 0700);
  const std::string path = folder + "/Logs/Files.xml";
  if (how.rfind("huge ", 0) == 0) {
    // Sparse: the size is what matters, not the bytes.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0 && ::ftruncate(fd, std::strtoll(how.c_str() + 5, nullptr, 10)) == 0) ::close(fd);
    return;
  }
  std::ofstream(path) << "<Files><File path=\"/home/user/odd.bin\"/></Files>";
}

void writePreferences(const std::string& folder, const std::string& how, const std::string& zip) {
  if (how == "none") return;
  std::ofstream out(folder + "/Sifter.xml");
  if (how == "malformed") {
    out << "<Sifter><Preferences><Zip-Path value=";
    return;
  }
  out << "<Sifter><Preferences><Zip-Path value=\"" << zip << "\"/></Preferences></Sifter>";
}

void leaveLockedFolder(const std::string& folder) {
  ::mkdir((folder + "/Data").c_str(), 0700);
  ::mkdir((folder + "/Data/locked").c_str(), 0700);
  std::ofstream(folder + "/Data/locked/file") << "locked";
  ::chmod((folder + "/Data/locked/file").c_str(), 0400);
  ::chmod((folder + "/Data/locked").c_str(), 0500);
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> control = readControl(argv[0]);
  if (!control["record"].empty()) record(control["record"], argc, argv);
  if (!control["started"].empty()) signalStarted(control["started"]);
  if (!control["block"].empty()) blockOn(control["block"]);

  const std::string zipPathArgument = "--zippath=";
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind(zipPathArgument, 0) != 0) continue;
    const std::string folder = argument.substr(zipPathArgument.size());
    const std::string zip = control["zip"].empty() ? folder + "/upload.zip" : control["zip"];
    writeReport(folder, control["report"]);
    writePreferences(folder, control["prefs"], zip);
    if (control["locked"] == "yes") leaveLockedFolder(folder);
  }
  return std::atoi(control["exit"].c_str());
}
