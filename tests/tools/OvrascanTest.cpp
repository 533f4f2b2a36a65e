// ovrascan as a user runs it: the built program in a process of its own, with a
// machine folder of the test's (where cleaning quarantines), read through its exit
// status, its output and the files it writes.
#include <gtest/gtest.h>
#include <pugixml.hpp>
#include <stdlib.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/tools/ChildProcess.h"
#include "tests/tools/ExecutableMappings.h"
#include "tests/support/DetectionSamples.h"

namespace {

namespace fs = std::filesystem;
using Stream = ChildProcess::Stream;

constexpr int kNothingFound = 0;
constexpr int kFound = 1;
constexpr int kError = 2;
constexpr int kInterrupted = 130;

using vxtest::pupMarker;
using vxtest::testFileContent;
using vxtest::virusMarker;

std::string readBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary);
  file << bytes;
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

bool startsWith(const std::string& text, std::string_view prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

bool contains(const std::string& text, std::string_view part) { return text.find(part) != std::string::npos; }

// A plain progress line: "[ 42%] /usr/lib/x86_64-linux-gnu/libc.so.6 ok".
bool isProgressLine(const std::string& line) { return startsWith(line, "[") && contains(line, "%] "); }

std::size_t countItems(const pugi::xml_node& root, const char* attribute) {
  std::size_t count = 0;
  for (const pugi::xml_node& item : root.children("scannedItem")) {
    if (attribute == nullptr || std::string_view(item.attribute(attribute).value()) == "1") ++count;
  }
  return count;
}

// This machine's processes carry nothing the default data set detects, except
// that a test program running beside this one may hold the engine's own test
// markers. So a detection is allowed only if it is such a marker, and the exit
// status must agree with the report's detections.
void expectStatusAgreesWithDetections(int exitCode, const pugi::xml_node& root) {
  std::size_t infected = 0;
  for (const pugi::xml_node& item : root.children("scannedItem")) {
    if (std::string_view(item.attribute("IsInfected").value()) != "1") continue;
    ++infected;
    EXPECT_TRUE(startsWith(item.attribute("virus_name").value(), "Qelda.Test."))
        << item.attribute("itemName").value() << " detected as " << item.attribute("virus_name").value();
  }
  EXPECT_EQ(exitCode, infected == 0 ? kNothingFound : kFound);
}

class OvrascanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "ovrascan-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    fs::create_directories(machine());
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  fs::path machine() const { return folder_ / "machine"; }
  fs::path quarantine() const { return machine() / "Vexora" / "Quarantine"; }
  std::vector<std::string> environment() const { return {"VX_MACHINE_DIR=" + machine().string()}; }
  ChildProcess::Result run(const std::vector<std::string>& arguments) const {
    return runToEnd(TEST_BINARY, arguments, environment());
  }

  fs::path folder_;
};

TEST_F(OvrascanTest, VersionPrintsComponentEngineAndDataSetVersions) {
  const auto result = run({"version"});
  EXPECT_EQ(result.exitCode, kNothingFound);
  EXPECT_EQ(result.err, "");
  const auto lines = linesOf(result.out);
  ASSERT_EQ(lines.size(), 3u) << result.out;
  const char* labels[] = {"Component:", "Engine:", "Data set:"};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    ASSERT_TRUE(startsWith(lines[i], labels[i])) << lines[i];
    const std::string text = lines[i].substr(std::string_view(labels[i]).size());
    EXPECT_NE(text.find_first_not_of(' '), std::string::npos) << "no version text in: " << lines[i];
  }
}

class OvrascanHelpTest : public OvrascanTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(OvrascanHelpTest, PrintsUsage) {
  const auto result = run({GetParam()});
  EXPECT_EQ(result.exitCode, kNothingFound);
  EXPECT_TRUE(startsWith(result.out, "Usage:")) << result.out;
  EXPECT_TRUE(contains(result.out, "clean-file PATH"));
  EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(Spellings, OvrascanHelpTest, ::testing::Values("--help", "-h", "help"),
                         [](const auto& info) {
                           std::string name;
                           for (const char* c = info.param; *c != '\0'; ++c) name += *c == '-' ? "Dash" : std::string(1, *c);
                           return name;
                         });

struct ReportCase {
  const char* name;
  const char* file;
  bool detectionsOnly;
  bool utf16;
};

void PrintTo(const ReportCase& value, std::ostream* out) { *out << value.name; }

class OvrascanReportTest : public OvrascanTest, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(OvrascanReportTest, ScanOfTheProcessesWritesTheReport) {
  const ReportCase& param = GetParam();
  const fs::path file = folder_ / param.file;
  std::vector<std::string> arguments{"scan", "--quiet", "--report", file.string()};
  if (param.detectionsOnly) arguments.push_back("--detections-only");
  const auto result = run(arguments);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(contains(result.out, "Scan complete.")) << result.out;
  EXPECT_TRUE(contains(result.out, "Report written to " + file.string())) << result.out;
  for (const auto& line : linesOf(result.out)) EXPECT_FALSE(isProgressLine(line)) << "quiet, yet: " << line;

  const std::string bytes = readBytes(file);
  if (param.utf16) {
    EXPECT_TRUE(startsWith(bytes, std::string_view("\xFF\xFE<\0?\0x\0m\0l\0", 12))) << "no UTF-16LE byte order mark";
  } else {
    EXPECT_TRUE(startsWith(bytes, "<?xml ")) << "not UTF-8 without a byte order mark";
  }
  pugi::xml_document document;
  const auto parsed =
      document.load_buffer(bytes.data(), bytes.size(), pugi::parse_default | pugi::parse_declaration);
  ASSERT_TRUE(parsed) << parsed.description();
  const pugi::xml_node declaration = document.first_child();
  ASSERT_EQ(declaration.type(), pugi::node_declaration);
  EXPECT_STREQ(declaration.attribute("encoding").value(), param.utf16 ? "UTF-16" : "UTF-8");
  const pugi::xml_node root = document.child("ScanResults");
  ASSERT_TRUE(root);
  EXPECT_STREQ(root.attribute("version").value(), "1.0");

  if (param.detectionsOnly) {
    EXPECT_EQ(countItems(root, "IsInfected"), countItems(root, nullptr));
    EXPECT_EQ(result.exitCode, countItems(root, nullptr) == 0 ? kNothingFound : kFound);
    return;
  }
  expectStatusAgreesWithDetections(result.exitCode, root);
  // ovrascan scans every process, itself included (by the path the kernel shows).
  const std::string self = fs::canonical(TEST_BINARY).string();
  EXPECT_TRUE(root.find_child_by_attribute("scannedItem", "itemName", self.c_str())) << self;
  EXPECT_TRUE(contains(result.out, "Objects scanned: " + std::to_string(countItems(root, "IsScanned")) + "\n"))
      << result.out;
}

INSTANTIATE_TEST_SUITE_P(Files, OvrascanReportTest,
                         ::testing::Values(ReportCase{"Utf8", "report.xml", false, false},
                                           ReportCase{"Utf16", "report.utf16.xml", false, true},
                                           ReportCase{"DetectionsOnly", "detections.xml", true, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OvrascanTest, ScanShowsOnePlainLinePerObjectWhenStdoutIsNoTerminal) {
  const auto result = run({"scan"});
  EXPECT_EQ(result.err, "");
  std::size_t progressLines = 0;
  for (const auto& line : linesOf(result.out)) {
    if (!isProgressLine(line)) continue;
    ++progressLines;
    EXPECT_TRUE(line.ends_with(" ok") || line.ends_with(" INFECTED") || line.ends_with(" not verified")) << line;
  }
  EXPECT_GT(progressLines, 0u);
  EXPECT_TRUE(contains(result.out, "Objects scanned: " + std::to_string(progressLines) + "\n")) << result.out;
}

TEST_F(OvrascanTest, ScanListsTheInfectedModuleAndSaysSoInItsStatus) {
  // Only a scan without --clean: one with it would also clean whatever else the
  // running processes hold that the data set detects, other test programs included.
  const ExecutableMappings infected(folder_, 1, 40, "before " + virusMarker() + " after");
  ASSERT_EQ(infected.failure(), "");
  const auto result = run({"scan", "--quiet"});
  EXPECT_EQ(result.exitCode, kFound) << result.out << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(contains(result.out, "Detections:\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "  " + infected.paths().front().string() + ": Qelda.Test.Virus\n")) << result.out;
  EXPECT_FALSE(contains(result.out, "Infected:        0\n")) << result.out;
  EXPECT_TRUE(fs::exists(infected.paths().front()));
}

struct CleanCase {
  const char* name;
  std::string (*content)();
  int exitCode;
  const char* says;
  bool fileRemains;
  bool quarantined;
};

void PrintTo(const CleanCase& value, std::ostream* out) { *out << value.name; }

class OvrascanCleanFileTest : public OvrascanTest, public ::testing::WithParamInterface<CleanCase> {};

TEST_P(OvrascanCleanFileTest, CleansAsTheDataSetSays) {
  const CleanCase& param = GetParam();
  const fs::path file = folder_ / "object.bin";
  writeBytes(file, param.content());
  const auto result = run({"clean-file", file.string()});
  EXPECT_EQ(result.exitCode, param.exitCode) << result.out << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, file.string() + ": " + param.says + "\n");
  EXPECT_EQ(fs::exists(file), param.fileRemains);
  EXPECT_EQ(fs::exists(quarantine()) && !fs::is_empty(quarantine()), param.quarantined);
}

INSTANTIATE_TEST_SUITE_P(
    Contents, OvrascanCleanFileTest,
    ::testing::Values(
        CleanCase{"TestFileIsDeleted", testFileContent, kFound, "infected with Test.EICAR, cleaned", false, false},
        CleanCase{"VirusIsQuarantined", [] { return "before " + virusMarker() + " after"; }, kFound,
                  "infected with Qelda.Test.Virus, cleaned", false, true},
        CleanCase{"UncleanableDetectionStays", pupMarker, kFound, "infected with Qelda.Test.Pup, not cleaned", true,
                  false},
        CleanCase{"CleanFileStays", [] { return std::string("nothing to see here\n"); }, kNothingFound, "clean",
                  true, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadArgumentsCase {
  const char* name;
  std::vector<std::string> arguments;  // "{dir}" stands for the test's folder
  const char* configuration;           // written to {dir}/config.xml when not null
  const char* message;                 // part of the error line, "{dir}" as above
  bool usage;                          // the usage text follows the error line
};

void PrintTo(const BadArgumentsCase& value, std::ostream* out) { *out << value.name; }

class OvrascanBadArgumentsTest : public OvrascanTest, public ::testing::WithParamInterface<BadArgumentsCase> {
 protected:
  std::string expand(std::string text) const {
    for (std::size_t at; (at = text.find("{dir}")) != std::string::npos;) text.replace(at, 5, folder_.string());
    return text;
  }
};

TEST_P(OvrascanBadArgumentsTest, FailsWithOneClearLine) {
  const BadArgumentsCase& param = GetParam();
  if (param.configuration != nullptr) writeBytes(folder_ / "config.xml", param.configuration);
  std::vector<std::string> arguments;
  for (const auto& argument : param.arguments) arguments.push_back(expand(argument));
  const auto result = run(arguments);
  EXPECT_EQ(result.exitCode, kError);
  EXPECT_EQ(result.out, "");
  const auto lines = linesOf(result.err);
  ASSERT_FALSE(lines.empty());
  EXPECT_TRUE(startsWith(lines.front(), "ovrascan: ")) << lines.front();
  EXPECT_TRUE(contains(lines.front(), expand(param.message))) << lines.front();
  if (param.usage) {
    EXPECT_TRUE(contains(result.err, "Usage:"));
  } else {
    EXPECT_EQ(lines.size(), 1u) << result.err;
  }
}

// Each selects a scan type, so that the object, not the host, decides on them.
constexpr char kConfigWithoutMaxScanCount[] =
    R"(<scanconfig><scantype><item type="test"/></scantype><source><item type="processes"/></source></scanconfig>)";
constexpr char kConfigWithUpperCaseKeyword[] =
    R"(<scanconfig><maxscancount value="10"/><scantype><item type="VIRUS"/></scantype>)"
    R"(<source><item type="processes"/></source></scanconfig>)";
constexpr char kConfigWithFolderMacro[] =
    R"(<scanconfig><maxscancount value="10"/><scantype><item type="test"/></scantype>)"
    R"(<source><item type="foldermacro" value="%TEMP%"/></source></scanconfig>)";

INSTANTIATE_TEST_SUITE_P(
    Cases, OvrascanBadArgumentsTest,
    ::testing::Values(
        BadArgumentsCase{"NoArguments", {}, nullptr, "no command given", true},
        BadArgumentsCase{"UnknownCommand", {"frobnicate"}, nullptr, "unknown command 'frobnicate'", false},
        BadArgumentsCase{"UnknownOption", {"scan", "--bogus"}, nullptr, "unknown argument '--bogus'", false},
        BadArgumentsCase{"ConfigWithoutFile", {"scan", "--config"}, nullptr, "--config needs a file name", false},
        BadArgumentsCase{"ReportWithoutFile", {"scan", "--report"}, nullptr, "--report needs a file name", false},
        BadArgumentsCase{"DetectionsOnlyWithoutReport", {"scan", "--detections-only"}, nullptr,
                         "--detections-only needs --report", false},
        BadArgumentsCase{"CleanFileWithoutPath", {"clean-file"}, nullptr, "clean-file needs exactly one PATH", false},
        BadArgumentsCase{"CleanFileWithTwoPaths", {"clean-file", "a", "b"}, nullptr,
                         "clean-file needs exactly one PATH", false},
        BadArgumentsCase{"VersionWithArgument", {"version", "now"}, nullptr, "version takes no arguments", false},
        BadArgumentsCase{"MissingConfig", {"scan", "--config", "{dir}/missing.xml"}, nullptr,
                         "cannot read {dir}/missing.xml: No such file or directory", false},
        BadArgumentsCase{"ConfigIsAFolder", {"scan", "--config", "{dir}"}, nullptr, "cannot read {dir}: Is a directory",
                         false},
        BadArgumentsCase{"EmptyConfig", {"scan", "--config", "{dir}/config.xml"}, " \n", "config.xml is empty", false},
        BadArgumentsCase{"MalformedConfig", {"scan", "--config", "{dir}/config.xml"}, "<scanconfig>",
                         "Scan failed with status 87 (0x00000057)", false},
        BadArgumentsCase{"ConfigWithoutMaxScanCount", {"scan", "--config", "{dir}/config.xml"},
                         kConfigWithoutMaxScanCount, "Scan failed with status 13 (0x0000000D)", false},
        BadArgumentsCase{"ConfigWithUnknownKeyword", {"scan", "--config", "{dir}/config.xml"},
                         kConfigWithUpperCaseKeyword, "Scan failed with status 1107503893 (0x42032B15)", false},
        BadArgumentsCase{"ConfigWithFolderMacro", {"scan", "--config", "{dir}/config.xml"}, kConfigWithFolderMacro,
                         "Scan ended with error 1107503889 (0x42032B11)", false},
        BadArgumentsCase{"ReportInMissingFolder", {"scan", "--report", "{dir}/missing/report.xml"}, nullptr,
                         "cannot write {dir}/missing/report.xml: No such file or directory", false},
        BadArgumentsCase{"MissingFileToClean", {"clean-file", "{dir}/missing.bin"}, nullptr,
                         "cannot clean {dir}/missing.bin: No such file or directory", false},
        BadArgumentsCase{"FolderToClean", {"clean-file", "{dir}"}, nullptr, "not a regular file", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OvrascanTest, ConfigFileDecidesWhatIsScanned) {
  writeBytes(folder_ / "config.xml",
             R"(<?xml version="1.0" encoding="UTF-8"?>)"
             R"(<scanconfig><maxscancount value="3"/><scantype><item type="test"/></scantype>)"
             R"(<source><item type="processes"/></source></scanconfig>)");
  const fs::path file = folder_ / "report.xml";
  const auto result = run({"scan", "--quiet", "--config", (folder_ / "config.xml").string(), "--report", file.string()});
  EXPECT_EQ(result.exitCode, kNothingFound) << result.err;
  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(file.c_str()));
  // The configuration's limit, where the built-in one allows 65535.
  EXPECT_EQ(countItems(document.child("ScanResults"), nullptr), 3u);
}

TEST_F(OvrascanTest, CtrlCCancelsTheScanAndKeepsWhatWasScanned) {
  // The scan cannot complete while a progress line waits for room in ovrascan's
  // stdout: each object's line is written before the object counts as done. With
  // a one-page pipe that this test stops reading, and far more lines to come than
  // the pipe and the test's first read hold (the mapped files add objects with
  // long names), the Ctrl-C always finds the scan running.
  constexpr int kPipeBytes = 4096;
  const ExecutableMappings padding(folder_, 128, 240);
  ASSERT_EQ(padding.failure(), "");
  const fs::path file = folder_ / "partial.xml";
  ChildProcess child(TEST_BINARY, {"scan", "--report", file.string()}, environment(), kPipeBytes);
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(child.waitForLine(Stream::Out, isProgressLine)) << "no progress line";
  child.sendSignal(SIGINT);
  // Written once the object has taken the Cancel; only then may the scan go on.
  const auto cancelling =
      child.waitForLine(Stream::Err, [](const std::string& line) { return contains(line, "cancelling"); });
  ASSERT_TRUE(cancelling) << "no word of the cancel on stderr";
  const auto result = child.finish();
  EXPECT_EQ(result.exitCode, kInterrupted) << result.err;
  EXPECT_TRUE(contains(result.out, "Scan cancelled")) << result.out;
  EXPECT_FALSE(contains(result.err, "failed")) << result.err;
  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(file.c_str())) << "no report after the cancel";
  const pugi::xml_node root = document.child("ScanResults");
  ASSERT_TRUE(root);
  EXPECT_LT(countItems(root, nullptr), padding.size()) << "the report holds a complete scan";
}

}  // namespace
