// ovrascan and the file log: a scan leaves the component's lines in the log of
// the program under the machine folder, and the log commands show them.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/VxFileLogSettings.h"
#include "foundation/VxProtectedIniValue.h"
#include "platform/Utf16.h"
#include "platform/Utf8.h"
#include "tests/tools/ChildProcess.h"

namespace {

namespace fs = std::filesystem;

// Whether a scan of the whole machine ran to its end. Beside other suites'
// processes, a module of one that ends during the scan is missed and the scan
// ends 2, rightly; what these tests look at is the log, which it wrote all the
// same.
bool scanRan(const ChildProcess::Result& scan) {
  return !scan.timedOut && scan.signal == 0 && scan.exitCode >= 0 && scan.exitCode <= 2;
}

class OvrascanLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "ovrascan-log-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    fs::create_directories(base());
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  fs::path machine() const { return folder_ / "machine"; }
  fs::path base() const { return machine() / "Vexora" / "VXLOGS"; }
  fs::path logFolder() const { return base() / "PartnerCustom" / "ovrascan"; }
  ChildProcess::Result run(const std::vector<std::string>& arguments) const {
    return runToEnd(TEST_BINARY, arguments, {"VX_MACHINE_DIR=" + machine().string()});
  }
  static void setting(const fs::path& file, const wchar_t* key, std::uint32_t value) {
    fs::create_directories(file.parent_path());
    ASSERT_EQ(CVxProtectedIniStore::writeNumber(file.string(), kVxLogSettingsSection, key, value), 0u);
  }
  // The lines of a log file as UTF-8, after checking its byte-order mark.
  static std::vector<std::string> fileLines(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(bytes.starts_with("\xFF\xFE")) << file;
    if (bytes.size() < 2) return {};
    const std::wstring text = platform::decodeUtf16Le(bytes.data() + 2, bytes.size() - 2);
    EXPECT_TRUE(text.ends_with(L"\r\n"));
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
      lines.push_back(platform::encodeUtf8(text.data() + start, end - start));
    }
    return lines;
  }
  static std::vector<std::string> outputLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
  }

  fs::path folder_;
};

bool anyLineHas(const std::vector<std::string>& lines, const std::string& part) {
  for (const auto& line : lines) {
    if (line.find(part) != std::string::npos) return true;
  }
  return false;
}

TEST_F(OvrascanLogTest, ScanLeavesTheComponentsLinesInTheLog) {
  setting(base() / "log.ini", L"Severity", 1);
  const auto scan = run({"scan", "--quiet"});
  ASSERT_FALSE(scan.timedOut);
  ASSERT_TRUE(scanRan(scan)) << scan.exitCode << scan.err;

  const auto lines = fileLines(logFolder() / "ovrascan000.log");
  ASSERT_FALSE(lines.empty());
  // Every line is one statement of the component's module, with the default fields.
  for (const auto& line : lines) {
    ASSERT_NE(line.find("$ -- ("), std::string::npos) << line;
    ASSERT_NE(line.find(")$ [ libovrascan.so]$ "), std::string::npos) << line;
  }
  EXPECT_TRUE(anyLineHas(lines, "]$ CVxAVScannerKernel::")) << "the kernel's lines";
  EXPECT_TRUE(anyLineHas(lines, "]$ CoCVxVirusScan::")) << "the object's lines";
  EXPECT_TRUE(anyLineHas(lines, "]$ CVxAVEngineConfig::")) << "the engine binding's lines";

  // log shows the newest lines, as they are in the file.
  const auto shown = run({"log", "--lines", "4"});
  ASSERT_EQ(shown.exitCode, 0) << shown.err;
  EXPECT_EQ(outputLines(shown.out), std::vector<std::string>(lines.end() - 4, lines.end()));
  const auto byDefault = run({"log"});
  EXPECT_EQ(outputLines(byDefault.out), std::vector<std::string>(lines.end() - 10, lines.end()));
}

// The log's own log.ini is a folder, so no index can be stored, and file 000 is
// full: the scan's lines go on into the files after it, none lost, and log
// shows the newest of them.
TEST_F(OvrascanLogTest, ScanWhoseIndexCannotBeStoredKeepsEveryLineAndLogShowsTheNewest) {
  setting(base() / "log.ini", L"Severity", 1);
  fs::create_directories(logFolder() / "log.ini");
  const fs::path first = logFolder() / "ovrascan000.log";
  {
    std::wstring full;
    while (full.size() * 2 < VxFileLogSettings{}.maxSize) full += L"old line\r\n";
    std::ofstream(first, std::ios::binary) << "\xFF\xFE" + platform::encodeUtf16Le(full);
  }
  fs::last_write_time(first, fs::last_write_time(first) - std::chrono::hours(1));
  const auto firstBefore = fileLines(first);

  const auto scan = run({"scan", "--quiet"});
  ASSERT_FALSE(scan.timedOut);
  ASSERT_TRUE(scanRan(scan)) << scan.exitCode << scan.err;

  EXPECT_EQ(fileLines(first), firstBefore);
  std::vector<std::string> lines;
  for (const char* name : {"ovrascan001.log", "ovrascan002.log"}) {
    if (!fs::exists(logFolder() / name)) continue;
    const auto more = fileLines(logFolder() / name);
    lines.insert(lines.end(), more.begin(), more.end());
  }
  ASSERT_GE(lines.size(), 9u);
  EXPECT_TRUE(anyLineHas(lines, "]$ CoCVxVirusScan::")) << "the object's first lines are kept";
  const auto shown = run({"log", "--lines", "4"});
  ASSERT_EQ(shown.exitCode, 0) << shown.err;
  EXPECT_EQ(outputLines(shown.out), std::vector<std::string>(lines.end() - 4, lines.end()));
}

TEST_F(OvrascanLogTest, DefaultSeverityKeepsACleanScanOutOfTheLog) {
  const auto scan = run({"scan", "--quiet"});
  ASSERT_TRUE(scanRan(scan)) << scan.exitCode << scan.err;
  // A clean scan says nothing at Information or above.
  EXPECT_FALSE(fs::exists(logFolder() / "ovrascan000.log"));
  const auto shown = run({"log"});
  EXPECT_EQ(shown.exitCode, 2);
  EXPECT_EQ(shown.out, "");
}

TEST_F(OvrascanLogTest, LogGoesBackIntoTheFileBeforeTheCurrentOne) {
  setting(logFolder() / "log.ini", L"LastLogIdx", 0);
  setting(logFolder() / "log.ini", L"MaxEntries", 2);
  auto write = [](const fs::path& file, const std::wstring& text) {
    std::ofstream(file, std::ios::binary) << "\xFF\xFE" + platform::encodeUtf16Le(text);
  };
  write(logFolder() / "ovrascan001.log", L"older 1\r\nolder 2\r\n");
  write(logFolder() / "ovrascan000.log", L"new \u00e9\r\n");
  const auto shown = run({"log", "--lines", "2"});
  ASSERT_EQ(shown.exitCode, 0) << shown.err;
  EXPECT_EQ(shown.out, "older 2\nnew \xC3\xA9\n");
}

TEST_F(OvrascanLogTest, LogSettingsShowsWhatIsInForceWithoutRewriting) {
  setting(base() / "log.ini", L"Severity", 2);
  setting(logFolder() / "log.ini", L"MaxEntries", 5);
  setting(logFolder() / "log.ini", L"MaxSize", 1000);  // out of range: the default holds
  setting(logFolder() / "log.ini", L"LastLogIdx", 4);
  std::ifstream before(logFolder() / "log.ini", std::ios::binary);
  const std::string settingsBefore((std::istreambuf_iterator<char>(before)), std::istreambuf_iterator<char>());

  const auto shown = run({"log-settings"});
  ASSERT_EQ(shown.exitCode, 0) << shown.err;
  const std::string folder = logFolder().string();
  EXPECT_EQ(shown.out, "Log folder:      " + folder + "\n" +
                           "Global settings: " + (base() / "log.ini").string() + "\n" +
                           "Log settings:    " + folder + "/log.ini\n" +
                           "Enable:          1\n"
                           "MaxSize:         153600\n"
                           "  not used: " + folder + "/log.ini: 1000 is outside 25600..512000\n" +
                           "MaxEntries:      5\n"
                           "Severity:        2\n"
                           "Options:         16\n"
                           "Current log:     " + folder + "/ovrascan004.log (none yet)\n");
  std::ifstream after(logFolder() / "log.ini", std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), std::istreambuf_iterator<char>()), settingsBefore);
}

// Values the log cannot use are each marked with their file and why.
TEST_F(OvrascanLogTest, LogSettingsMarksWhatItCannotUse) {
  setting(base() / "log.ini", L"Severity", 9);
  fs::create_directories(logFolder());
  std::ofstream(logFolder() / "log.ini") << "[Config]\nMaxEntries=4\n";
  const auto shown = run({"log-settings"});
  ASSERT_EQ(shown.exitCode, 0) << shown.err;
  const std::string global = (base() / "log.ini").string();
  const std::string own = (logFolder() / "log.ini").string();
  EXPECT_NE(shown.out.find("MaxEntries:      3\n  not used: " + own + ": plain text, not enciphered\n"),
            std::string::npos)
      << shown.out;
  EXPECT_NE(shown.out.find("Severity:        3\n  not used: " + global + ": 9 is outside 0..5\n"), std::string::npos)
      << shown.out;
}

// log-settings set stores a value enciphered where the log reads it, and
// refuses one outside the key's range, naming the range.
TEST_F(OvrascanLogTest, LogSettingsSetWritesWithinTheRange) {
  struct Case {
    std::vector<std::string> arguments;
    int exitCode;
    std::string said;  // on stdout for success, stderr otherwise
  };
  const std::string global = (base() / "log.ini").string();
  const std::string own = (logFolder() / "log.ini").string();
  const Case cases[] = {
      {{"log-settings", "set", "MaxEntries", "4"}, 0, "MaxEntries = 4 in " + own},
      {{"log-settings", "set", "Severity", "1", "--global"}, 0, "Severity = 1 in " + global},
      {{"log-settings", "set", "MaxSize", "1000"}, 2, "log setting MaxSize takes 25600 to 512000, not 1000"},
      {{"log-settings", "set", "Severity", "6", "--global"}, 2, "log setting Severity takes 0 to 5, not 6"},
      {{"log-settings", "set", "Colour", "1"}, 2, "unknown log setting 'Colour'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments[2]);
    const auto result = run(c.arguments);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
    EXPECT_NE((c.exitCode == 0 ? result.out : result.err).find(c.said), std::string::npos)
        << result.out << result.err;
  }
  const auto read = [](const fs::path& file, const wchar_t* key) {
    const auto value = CVxProtectedIniStore::read(file.string(), kVxLogSettingsSection, key);
    return value && value.value.isNumber() ? static_cast<long long>(value.value.number()) : -1LL;
  };
  EXPECT_EQ(read(logFolder() / "log.ini", L"MaxEntries"), 4);
  EXPECT_EQ(read(base() / "log.ini", L"Severity"), 1);
  EXPECT_EQ(read(logFolder() / "log.ini", L"MaxSize"), -1) << "a refused value is not written";
  const auto shown = run({"log-settings"});
  EXPECT_NE(shown.out.find("MaxEntries:      4\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("Severity:        1\n"), std::string::npos) << shown.out;
}

}  // namespace

namespace {

// An administrator's natural way to more detail: the setting written by
// log-settings set is the one the next scan obeys.
TEST_F(OvrascanLogTest, SeveritySetByLogSettingsBringsTheKernelsLines) {
  ASSERT_EQ(run({"log-settings", "set", "Severity", "1"}).exitCode, 0);
  const auto scan = run({"scan", "--quiet"});
  ASSERT_TRUE(scanRan(scan)) << scan.exitCode << scan.err;
  const auto lines = fileLines(logFolder() / "ovrascan000.log");
  EXPECT_TRUE(anyLineHas(lines, "]$ CVxAVScannerKernel::")) << "the kernel's Normal lines";
}

}  // namespace
