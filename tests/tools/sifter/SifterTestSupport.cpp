#include "tests/tools/sifter/SifterTestSupport.h"

#include <openssl/evp.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <pugixml.hpp>
#include <stdexcept>

#include "tools/sifter/PathText.h"

namespace sifter_test {

namespace fs = std::filesystem;

SifterInstall::SifterInstall(const fs::path& scratch) {
  fs::create_directories(scratch / "bin");
  program_ = scratch / "bin" / "Sifter.exe";
  fs::copy_file(SIFTER_BINARY, program_);
  fs::permissions(program_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
}

void SifterInstall::writeSettings(const std::string& text) const {
  writeBytes(settingsPath(), text, fs::perms::owner_read | fs::perms::owner_write);
}

ChildProcess::Result SifterInstall::run(const std::vector<std::string>& arguments) const {
  return runToEnd(program_.string(), arguments, {});
}

std::map<std::string, ReportedFile> readFilesReport(const fs::path& file) {
  std::map<std::string, ReportedFile> files;
  pugi::xml_document document;
  if (!document.load_file(file.c_str())) return files;
  for (auto element : document.child("Files").children("File")) {
    const auto path = sifter::unescapePath(element.attribute("path").value());
    if (!path) continue;
    files[*path] = ReportedFile{element.attribute("size").value(),     element.attribute("sha256").value(),
                                element.attribute("reason").value(),   element.attribute("archived").value(),
                                element.attribute("entry").value(),    element.attribute("processes").value(),
                                element.attribute("note").value()};
  }
  return files;
}

std::string readZipPath(const fs::path& preferences) {
  pugi::xml_document document;
  if (!document.load_file(preferences.c_str())) return {};
  return document.select_node("Sifter/Preferences/Zip-Path").node().attribute("value").value();
}

std::string readBytes(const fs::path& file) {
  std::ifstream stream(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(stream), {});
}

void writeBytes(const fs::path& file, const std::string& bytes, fs::perms mode) {
  {
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  fs::permissions(file, mode);
}

std::string sha256Hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned i = 0; i < size; ++i) {
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 0x0F];
  }
  return text;
}

}  // namespace sifter_test
