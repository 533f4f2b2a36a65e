#include "XmlLint.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

namespace vxtest {

namespace {

std::string quoted(const std::string& arg) {
  std::string out = "'";
  for (const char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

void appendUtf16(std::string& bytes, char16_t unit) {
  bytes.push_back(static_cast<char>(unit & 0xFF));
  bytes.push_back(static_cast<char>(unit >> 8));
}

class TempReport {
 public:
  explicit TempReport(const std::wstring& xml) {
    static int counter = 0;
    path_ = std::filesystem::path(::testing::TempDir()) /
            ("vx_report_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + ".xml");
    std::string bytes;
    appendUtf16(bytes, 0xFEFF);
    for (const wchar_t w : xml) {
      const auto c = static_cast<char32_t>(w);
      if (c >= 0x10000) {
        appendUtf16(bytes, static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        appendUtf16(bytes, static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
      } else {
        appendUtf16(bytes, static_cast<char16_t>(c));
      }
    }
    std::ofstream(path_, std::ios::binary) << bytes;
  }
  ~TempReport() { std::filesystem::remove(path_); }
  std::string path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

XmlLintRun run(const std::string& command) {
  XmlLintRun result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t count;
  while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, count);
  const int status = pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace

bool xmllintAvailable() { return run("command -v xmllint >/dev/null 2>&1").status == 0; }

XmlLintRun xmllintCheck(const std::wstring& xml) {
  TempReport file(xml);
  return run("xmllint --noout --nonet " + quoted(file.path()) + " 2>&1");
}

XmlLintRun xmllintXPath(const std::wstring& xml, const std::string& expression) {
  TempReport file(xml);
  return run("xmllint --nonet --xpath " + quoted(expression) + " " + quoted(file.path()) + " 2>/dev/null");
}

}  // namespace vxtest
