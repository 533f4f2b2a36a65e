// ovrascan as a user runs it: the built program in a process of its own, with a
// machine folder of the test's (where cleaning quarantines), read through its exit
// status, its output and the files it writes.
#include <gtest/gtest.h>
#include <pugixml.hpp>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
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

class OvrascanVersionTest : public OvrascanTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(OvrascanVersionTest, PrintsComponentEngineAndDataSetVersions) {
  const auto result = run({GetParam()});
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

INSTANTIATE_TEST_SUITE_P(Spellings, OvrascanVersionTest, ::testing::Values("version", "--version"),
                         [](const auto& info) { return std::string(info.index == 0 ? "Word" : "Option"); });

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

struct CommandHelpCase {
  const char* name;
  std::vector<std::string> arguments;
  const char* shows;     // part of the usage shown
  const char* omits;     // part of the usage of another command
};

void PrintTo(const CommandHelpCase& value, std::ostream* out) { *out << value.name; }

class OvrascanCommandHelpTest : public OvrascanTest, public ::testing::WithParamInterface<CommandHelpCase> {};

TEST_P(OvrascanCommandHelpTest, ShowsTheUsageOfThatCommand) {
  const auto result = run(GetParam().arguments);
  EXPECT_EQ(result.exitCode, kNothingFound);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(startsWith(result.out, "Usage:")) << result.out;
  EXPECT_TRUE(contains(result.out, GetParam().shows)) << result.out;
  EXPECT_FALSE(contains(result.out, GetParam().omits)) << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, OvrascanCommandHelpTest,
    ::testing::Values(CommandHelpCase{"Scan", {"scan", "--help"}, "--json FILE", "clean-file PATH"},
                      CommandHelpCase{"CleanFile", {"clean-file", "--help"}, "symbolic link", "--json FILE"}),
    [](const auto& info) { return std::string(info.param.name); });

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
  EXPECT_TRUE(contains(result.out, "Not scanned:     " +
                                       std::to_string(countItems(root, nullptr) - countItems(root, "IsScanned")) +
                                       "\n"))
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

// Removing one name of a file with another hard link would leave its content on
// disk: it is not cleaned, and not reported cleaned.
TEST_F(OvrascanTest, AHardLinkedDetectionIsNotReportedCleaned) {
  const fs::path file = folder_ / "object.bin";
  const fs::path link = folder_ / "other-name.bin";
  writeBytes(file, testFileContent());
  fs::create_hard_link(file, link);
  const auto result = run({"clean-file", file.string()});
  EXPECT_EQ(result.exitCode, kFound) << result.out << result.err;
  EXPECT_EQ(result.out, file.string() +
                            ": infected with Test.EICAR, not cleaned: its content is still reachable through another "
                            "hard link or a mount over the name (repair error 1175)\n");
  EXPECT_TRUE(fs::exists(file));
  EXPECT_TRUE(fs::exists(link));
}

// A file past 4 GiB is scanned like any other, to its end: the marker sits
// beyond what a 32-bit size would reach.
TEST_F(OvrascanTest, AFileBeyondFourGiBIsScannedToItsEnd) {
  const fs::path file = folder_ / "huge.bin";
  {
    std::ofstream out(file, std::ios::binary);
    out.seekp(static_cast<std::streamoff>((4ull << 30) + 12345));
    out << virusMarker();
  }
  fs::resize_file(file, (4ull << 30) + (1u << 20));
  const auto result = run({"clean-file", file.string()});
  EXPECT_EQ(result.exitCode, kFound) << result.out << result.err;
  EXPECT_EQ(result.out, file.string() + ": infected with Qelda.Test.Virus, cleaned\n");
  EXPECT_FALSE(fs::exists(file));
}

struct BadArgumentsCase {
  const char* name;
  std::vector<std::string> arguments;  // "{dir}" stands for the test's folder
  const char* configuration;           // written to {dir}/config.xml when not null
  const char* message;                 // part of the error line, "{dir}" as above
  bool usage;                          // the usage text follows the error line
  void (*prepare)(const fs::path& folder) = nullptr;  // makes what the case needs in the test's folder
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
  if (param.prepare != nullptr) param.prepare(folder_);
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

// No scan type, and something the object refuses: the object's reason is told.
constexpr char kConfigWithUnknownSourceAndNoScanType[] =
    R"(<scanconfig><maxscancount value="10"/><source><item type="bogus"/></source></scanconfig>)";
constexpr char kConfigWithoutMaxScanCountOrScanType[] =
    R"(<scanconfig><source><item type="processes"/></source></scanconfig>)";

constexpr char kConfigWithoutScanType[] =
    R"(<scanconfig><maxscancount value="10"/><source><item type="processes"/></source></scanconfig>)";
constexpr char kConfigWithEmptyScanType[] =
    R"(<scanconfig><maxscancount value="10"/><scantype/><cleantype><item type="virus"/></cleantype>)"
    R"(<source><item type="processes"/></source></scanconfig>)";

void makeLinkToInfectedFile(const fs::path& folder) {
  writeBytes(folder / "target.bin", "before " + virusMarker() + " after");
  fs::create_symlink(folder / "target.bin", folder / "link.bin");
}

void makeFifo(const fs::path& folder) { ASSERT_EQ(mkfifo((folder / "fifo").c_str(), 0600), 0); }

// A sparse file past the engine's 4 GiB limit: real, and no disk space spent.
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
                         "configuration {dir}/config.xml: Scan failed with status 87 (0x00000057)", false},
        BadArgumentsCase{"ConfigWithoutMaxScanCount", {"scan", "--config", "{dir}/config.xml"},
                         kConfigWithoutMaxScanCount,
                         "configuration {dir}/config.xml: Scan failed with status 13 (0x0000000D)", false},
        BadArgumentsCase{"ConfigWithUnknownKeyword", {"scan", "--config", "{dir}/config.xml"},
                         kConfigWithUpperCaseKeyword,
                         "configuration {dir}/config.xml: Scan failed with status 1107503893 (0x42032B15)", false},
        BadArgumentsCase{"ConfigWithFolderMacro", {"scan", "--config", "{dir}/config.xml"}, kConfigWithFolderMacro,
                         "configuration {dir}/config.xml: Scan ended with error 1107503889 (0x42032B11)", false},
        BadArgumentsCase{"ReportInMissingFolder", {"scan", "--report", "{dir}/missing/report.xml"}, nullptr,
                         "cannot write {dir}/missing/report.xml: No such file or directory", false},
        BadArgumentsCase{"MissingFileToClean", {"clean-file", "{dir}/missing.bin"}, nullptr,
                         "cannot clean {dir}/missing.bin: No such file or directory", false},
        BadArgumentsCase{"FolderToClean", {"clean-file", "{dir}"}, nullptr, "not a regular file", false},
        BadArgumentsCase{"ConfigWithUnknownSourceAndNoScanType", {"scan", "--config", "{dir}/config.xml"},
                         kConfigWithUnknownSourceAndNoScanType,
                         "configuration {dir}/config.xml: Scan ended with error 1107503893 (0x42032B15): "
                         "unrecognised detection keyword or source type",
                         false},
        BadArgumentsCase{"ConfigWithoutMaxScanCountOrScanType", {"scan", "--config", "{dir}/config.xml"},
                         kConfigWithoutMaxScanCountOrScanType,
                         "configuration {dir}/config.xml: Scan failed with status 13 (0x0000000D)", false},
        BadArgumentsCase{"ConfigWithoutScanType", {"scan", "--config", "{dir}/config.xml"}, kConfigWithoutScanType,
                         "configuration {dir}/config.xml selects no scan type", false},
        BadArgumentsCase{"ConfigWithEmptyScanType", {"scan", "--config={dir}/config.xml"}, kConfigWithEmptyScanType,
                         "configuration {dir}/config.xml selects no scan type", false},
        BadArgumentsCase{"JsonInMissingFolder", {"scan", "--json", "{dir}/missing/report.json"}, nullptr,
                         "JSON report: cannot write {dir}/missing/report.json: No such file or directory", false},
        BadArgumentsCase{"ReportThroughLinkedFolder", {"scan", "--report", "{dir}/linked/report.xml"}, nullptr,
                         "cannot write {dir}/linked/report.xml: {dir}/linked is a symbolic link (not followed)",
                         false, [](const fs::path& folder) { fs::create_directory_symlink(folder, folder / "linked"); }},
        BadArgumentsCase{"LinkToClean", {"clean-file", "{dir}/link.bin"}, nullptr,
                         "cannot clean {dir}/link.bin: it is a symbolic link to {dir}/target.bin; not followed",
                         false, makeLinkToInfectedFile},
        BadArgumentsCase{"FifoToClean", {"clean-file", "{dir}/fifo"}, nullptr,
                         "cannot clean {dir}/fifo: not a regular file (a FIFO)", false, makeFifo}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OvrascanTest, ConfigFileDecidesWhatIsScanned) {
  writeBytes(folder_ / "config.xml",
             R"(<?xml version="1.0" encoding="UTF-8"?>)"
             R"(<scanconfig><maxscancount value="3"/><scantype><item type="test"/></scantype>)"
             R"(<source><item type="processes"/></source></scanconfig>)");
  const fs::path file = folder_ / "report.xml";
  const auto result = run({"scan", "--quiet", "--config", (folder_ / "config.xml").string(), "--report", file.string()});
  // The configuration's limit, where the built-in one is out of any machine's
  // reach; what it leaves out is counted and makes the scan a failure.
  EXPECT_EQ(result.exitCode, kError) << result.err;
  EXPECT_TRUE(contains(result.err, "were not scanned: the scan reached the configuration's object limit "
                                   "(maxscancount) after 3 objects")) << result.err;
  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(file.c_str()));
  EXPECT_EQ(countItems(document.child("ScanResults"), nullptr), 3u);
  EXPECT_GT(document.child("ScanResults").attribute("objectsNotQueued").as_ullong(), 0u);
}

struct SignalCase {
  const char* name;
  int signal;
  int exitCode;
};

void PrintTo(const SignalCase& value, std::ostream* out) { *out << value.name; }

const SignalCase kSignals[] = {{"CtrlC", SIGINT, kInterrupted}, {"Term", SIGTERM, 143}, {"Hangup", SIGHUP, 129}};

// What a cancelled scan leaves: its exit status, the summary of a cancelled scan
// whose counts are the report's, and a report of what was done until then.
void expectCancelledScan(const ChildProcess::Result& result, const SignalCase& param, const fs::path& file,
                         std::size_t& items, std::size_t& scanned) {
  EXPECT_EQ(result.exitCode, param.exitCode) << result.err;
  EXPECT_TRUE(contains(result.out, "Scan cancelled")) << result.out;
  EXPECT_FALSE(contains(result.err, "failed")) << result.err;
  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(file.c_str())) << "no report after the cancel";
  const pugi::xml_node root = document.child("ScanResults");
  ASSERT_TRUE(root);
  items = countItems(root, nullptr);
  scanned = countItems(root, "IsScanned");
  EXPECT_TRUE(contains(result.out, "Objects scanned: " + std::to_string(scanned) + "\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "Not scanned:     " + std::to_string(items - scanned) + "\n")) << result.out;
}

class OvrascanSignalTest : public OvrascanTest, public ::testing::WithParamInterface<SignalCase> {};

TEST_P(OvrascanSignalTest, CancelsTheScanPassAndKeepsWhatWasScanned) {
  // The scan cannot complete while a progress line waits for room in ovrascan's
  // stdout: each object's line is written before the object counts as done. With
  // a one-page pipe that this test stops reading, and far more lines to come than
  // the pipe and the test's first read hold (the mapped files add objects with
  // long names), the signal always finds the scan pass running. The padding's
  // lines alone are far more than the largest pipe and output buffer hold, in
  // case the pipe cannot be made as small as asked.
  constexpr int kPipeBytes = 4096;
  const ExecutableMappings padding(folder_, 2048, 240);
  ASSERT_EQ(padding.failure(), "");
  const fs::path file = folder_ / "partial.xml";
  ChildProcess child(TEST_BINARY, {"scan", "--report", file.string()}, environment(), kPipeBytes);
  ASSERT_TRUE(child.started());
  // An object the engine scanned, not one it reported as not verified (a module
  // that vanished, say), so that the report has at least it to keep.
  const auto scannedLine = [](const std::string& line) { return isProgressLine(line) && line.ends_with(" ok"); };
  ASSERT_TRUE(child.waitForLine(Stream::Out, scannedLine)) << "no progress line of a scanned object";
  child.sendSignal(GetParam().signal);
  // Written once the object has taken the Cancel; only then may the scan go on.
  const auto cancelling =
      child.waitForLine(Stream::Err, [](const std::string& line) { return contains(line, "cancelling"); });
  ASSERT_TRUE(cancelling) << "no word of the cancel on stderr";
  const auto result = child.finish();
  std::size_t items = 0;
  std::size_t scanned = 0;
  expectCancelledScan(result, GetParam(), file, items, scanned);
  // Other processes come and go beside this test, so completeness is judged by
  // the padding alone: a complete scan would have scanned every padding file.
  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(file.c_str()));
  std::size_t paddingScanned = 0;
  for (const pugi::xml_node& item : document.child("ScanResults").children("scannedItem")) {
    const std::string name = item.attribute("itemName").value();
    if (name.rfind(folder_.string(), 0) == 0 && std::string_view(item.attribute("IsScanned").value()) == "1") {
      ++paddingScanned;
    }
  }
  EXPECT_LT(paddingScanned, padding.size()) << "the report holds a complete scan";
  EXPECT_GT(scanned, 0u) << "the scan pass had shown an object as scanned";
}

TEST_P(OvrascanSignalTest, CancelsTheProfilePassAndReportsNothingScanned) {
  // The signal is sent while ovrascan cannot yet take it (it starts with the
  // signal blocked); it waits until the host watches for it and is then acted on
  // the moment the object accepts the scan, while the first pass (the profile
  // pass, which only lists and sizes the objects) still runs over far more
  // objects than this machine's processes alone hold.
  const ExecutableMappings padding(folder_, 2048, 64);
  ASSERT_EQ(padding.failure(), "");
  const fs::path file = folder_ / "partial.xml";
  ChildProcess child(TEST_BINARY, {"scan", "--quiet", "--report", file.string()}, environment(), 0,
                     {GetParam().signal});
  ASSERT_TRUE(child.started());
  child.sendSignal(GetParam().signal);
  const auto result = child.finish();
  std::size_t items = 0;
  std::size_t scanned = 0;
  expectCancelledScan(result, GetParam(), file, items, scanned);
  // The profile pass looks at no object's content.
  EXPECT_EQ(scanned, 0u) << "of " << items << " objects of the profile pass, " << scanned << " claim a scan";
}

INSTANTIATE_TEST_SUITE_P(Signals, OvrascanSignalTest, ::testing::ValuesIn(kSignals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OvrascanTest, ScanThatExaminesNothingSaysSoAndFails) {
  writeBytes(folder_ / "config.xml",
             R"(<scanconfig><maxscancount value="10"/><scantype><item type="test"/></scantype></scanconfig>)");
  const auto result = run({"scan", "--quiet", "--config", (folder_ / "config.xml").string()});
  EXPECT_EQ(result.exitCode, kError) << result.out << result.err;
  EXPECT_TRUE(contains(result.out, "Objects scanned: 0\n")) << result.out;
  EXPECT_TRUE(contains(result.err, "ovrascan: the scan examined no object")) << result.err;
}

TEST_F(OvrascanTest, ReportThatCannotBeWrittenKeepsTheOldOneAndTheSummaryIsStillShown) {
  // A file size limit far below any report: the write fails part way, as it
  // would on a full disk, whoever runs the test.
  const ExecutableMappings infected(folder_, 1, 40, "before " + virusMarker() + " after");
  ASSERT_EQ(infected.failure(), "");
  const fs::path file = folder_ / "report.xml";
  const std::string old = "<?xml version=\"1.0\"?><ScanResults version=\"1.0\"/>\n";
  writeBytes(file, old);
  const auto result = runToEnd("/bin/sh", {"-c", "ulimit -f 1 && exec \"$0\" \"$@\"", TEST_BINARY, "scan", "--quiet",
                                           "--report", file.string()},
                               environment());
  EXPECT_EQ(result.exitCode, kError) << result.out << result.err;
  EXPECT_TRUE(contains(result.err, "ovrascan: report: cannot write " + file.string() + ": File too large"))
      << result.err;
  EXPECT_EQ(readBytes(file), old);
  EXPECT_TRUE(contains(result.out, "Scan complete.\n")) << result.out;
  EXPECT_TRUE(contains(result.out, "Objects scanned: ")) << result.out;
  EXPECT_TRUE(contains(result.out, "  " + infected.paths().front().string() + ": Qelda.Test.Virus\n")) << result.out;
  EXPECT_FALSE(contains(result.out, "Report written")) << result.out;
  for (const auto& entry : fs::directory_iterator(folder_)) {
    EXPECT_FALSE(startsWith(entry.path().filename().string(), ".ovrascan-")) << "left behind: " << entry.path();
  }
}

TEST_F(OvrascanTest, ReportReplacesALinkInsteadOfWritingThroughIt) {
  const fs::path target = folder_ / "elsewhere.txt";
  writeBytes(target, "not a report\n");
  const fs::path file = folder_ / "report.xml";
  fs::create_symlink(target, file);
  const auto result = run({"scan", "--quiet", "--report", file.string()});
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(readBytes(target), "not a report\n");
  EXPECT_FALSE(fs::is_symlink(file));
  pugi::xml_document document;
  EXPECT_TRUE(document.load_file(file.c_str()));
}

TEST_F(OvrascanTest, ClosedStdoutCostsTheOutputButNotTheReport) {
  const fs::path file = folder_ / "report.xml";
  ChildProcess child(TEST_BINARY, {"scan", "--report", file.string()}, environment());
  ASSERT_TRUE(child.started());
  child.closeOutput();
  const auto result = child.finish();
  EXPECT_EQ(result.signal, 0) << "ended by signal " << result.signal;
  EXPECT_TRUE(result.exitCode == kNothingFound || result.exitCode == kFound) << result.err;
  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(file.c_str())) << "no report";
  expectStatusAgreesWithDetections(result.exitCode, document.child("ScanResults"));
}

TEST_F(OvrascanTest, SummaryOnlyShowsNothingButTheSummary) {
  const ExecutableMappings infected(folder_, 1, 40, "before " + virusMarker() + " after");
  ASSERT_EQ(infected.failure(), "");
  const auto result = run({"scan", "--summary-only"});
  EXPECT_EQ(result.exitCode, kFound) << result.err;
  EXPECT_EQ(result.err, "");
  const auto lines = linesOf(result.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "Scan complete.");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_TRUE(contains(lines[i], ": ") && !startsWith(lines[i], " ") && !isProgressLine(lines[i]))
        << "not a summary line: " << lines[i];
  }
  EXPECT_FALSE(contains(result.out, "Detections:")) << result.out;
}

// The file name holds what JSON must escape: a tab, a quotation mark, a
// backslash, and a character beyond ASCII. (Escapes of the other control
// characters and of bytes that are not UTF-8 are JsonText's own test: the
// component's report carries those as U+FFFD.)
constexpr char kOddName[] = "odd-\t\"\\-\xc3\xa9.bin";

// Reads the JSON report back with Python's json module and prints the number of
// items, whether every item has the report's mandatory attributes with numbers as
// numbers, and then every item's name as its bytes (surrogateescape), one a line.
constexpr char kReadJson[] = R"(
import json, sys
with open(sys.argv[1], 'rb') as f:
    raw = f.read()
raw.decode('utf-8')
report = json.loads(raw)
items = report['items']
out = sys.stdout.buffer
out.write(b'%d\n' % len(items))
out.write(b'%s\n' % str(report['version'] == '1.0' and all(
    isinstance(i['itemName'], str) and isinstance(i['itemType'], int) and isinstance(i['IsScanned'], int)
    and isinstance(i['ObjectSummary'], int) and isinstance(i['ScanError'], int) for i in items)).encode())
for i in items:
    out.write(i['itemName'].encode('utf-8', 'surrogateescape') + b'\n')
)";

TEST_F(OvrascanTest, JsonReportReadsBackWithPythonAsTheXmlReport) {
  const ExecutableMappings odd(folder_, std::vector<std::string>{kOddName});
  ASSERT_EQ(odd.failure(), "");
  const fs::path xml = folder_ / "report.xml";
  const fs::path json = folder_ / "report.json";
  const auto result = run({"scan", "--quiet", "--report", xml.string(), "--json=" + json.string()});
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(contains(result.out, "JSON report written to " + json.string())) << result.out;
  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(xml.c_str()));
  std::vector<std::string> xmlNames;
  for (const pugi::xml_node& item : document.child("ScanResults").children("scannedItem")) {
    xmlNames.emplace_back(item.attribute("itemName").value());
  }
  const auto read = runToEnd("/usr/bin/python3", {"-c", kReadJson, json.string()}, {});
  ASSERT_EQ(read.exitCode, 0) << read.err;
  auto lines = linesOf(read.out);
  ASSERT_GE(lines.size(), 2u) << read.out;
  EXPECT_EQ(lines[0], std::to_string(xmlNames.size()));
  EXPECT_EQ(lines[1], "True");
  std::vector<std::string> jsonNames(lines.begin() + 2, lines.end());
  std::sort(jsonNames.begin(), jsonNames.end());
  std::sort(xmlNames.begin(), xmlNames.end());
  EXPECT_EQ(jsonNames, xmlNames);
  EXPECT_NE(std::find(jsonNames.begin(), jsonNames.end(), odd.paths().front().string()), jsonNames.end());
}

}  // namespace

namespace {

// What the summary's "From cache:" line says, trimmed; empty when there is none.
std::string fromCacheLine(const std::string& out) {
  for (const auto& line : linesOf(out)) {
    if (!startsWith(line, "From cache:")) continue;
    const auto text = line.find_first_not_of(' ', std::strlen("From cache:"));
    return text == std::string::npos ? std::string{} : line.substr(text);
  }
  return {};
}

// The number on that line; -1 when there is none.
long long fromCacheCount(const std::string& out) {
  const std::string said = fromCacheLine(out);
  return !said.empty() && std::isdigit(static_cast<unsigned char>(said.front())) ? std::stoll(said) : -1;
}

}  // namespace

TEST_F(OvrascanTest, RepeatScanComesFromTheCacheUnlessAskedOrClearedNotTo) {
  // A file that running programs map under two names (hard links) is read under
  // the first and answered from the cache under the second, so even a scan that
  // starts from an empty cache may count a few: what is checked is that it counts
  // far fewer than a repeat.
  const auto first = run({"scan", "--summary-only"});
  EXPECT_GE(fromCacheCount(first.out), 0) << first.out << first.err;
  const fs::path file = machine() / "Vexora" / "verdicts.cache";
  ASSERT_TRUE(fs::exists(file));
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  // The running programs' modules were installed long before: they are remembered.
  const auto second = run({"scan", "--summary-only"});
  EXPECT_GT(fromCacheCount(second.out), 2 * fromCacheCount(first.out)) << first.out << second.out;
  const auto uncached = run({"scan", "--summary-only", "--no-cache"});
  EXPECT_EQ(fromCacheLine(uncached.out), "off (turned off)") << uncached.out;

  const auto cleared = run({"cache", "clear"});
  EXPECT_EQ(cleared.exitCode, 0) << cleared.err;
  EXPECT_EQ(cleared.out, "Cleared the scan cache " + file.string() + "\n");
  EXPECT_FALSE(fs::exists(file));
  const auto afterClear = run({"scan", "--summary-only"});
  EXPECT_GE(fromCacheCount(afterClear.out), 0) << afterClear.out;
  EXPECT_GT(fromCacheCount(second.out), 2 * fromCacheCount(afterClear.out)) << afterClear.out << second.out;

  const auto wrong = run({"cache", "empty"});
  EXPECT_EQ(wrong.exitCode, 2);
  EXPECT_NE(wrong.err.find("usage: ovrascan cache clear"), std::string::npos) << wrong.err;
}
