#pragma once
// What the Sifter.exe tests share: a scratch folder of their own, a copy of the
// built tool in it with a settings file of the test's choosing beside it (the
// tool reads Sifter.ini from its own folder, so each test gets its own copy), the
// tool's reports read back, and digests.
//
// Thread-safety: one thread at a time.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/ScratchFolder.h"
#include "tests/tools/ChildProcess.h"

namespace sifter_test {

using ScratchFolder = vxtest::ScratchFolder;

// A copy of the built Sifter.exe in scratch/bin.
class SifterInstall {
 public:
  explicit SifterInstall(const std::filesystem::path& scratch);
  const std::filesystem::path& program() const { return program_; }
  std::filesystem::path settingsPath() const { return program_.parent_path() / "Sifter.ini"; }
  // Writes Sifter.ini (mode 0600) with text.
  void writeSettings(const std::string& text) const;
  ChildProcess::Result run(const std::vector<std::string>& arguments) const;

 private:
  std::filesystem::path program_;
};

struct ReportedFile {
  std::string size;
  std::string sha256;
  std::string reason;
  std::string archived;
  std::string entry;
  std::string processes;
  std::string note;
};

// Files.xml read back, keyed by the unescaped path; empty when it does not parse.
std::map<std::string, ReportedFile> readFilesReport(const std::filesystem::path& file);
// The value of Sifter/Preferences/Zip-Path/@value.
std::string readZipPath(const std::filesystem::path& preferences);

std::string readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const std::string& bytes, std::filesystem::perms mode);
std::string sha256Hex(const std::string& bytes);

}  // namespace sifter_test
