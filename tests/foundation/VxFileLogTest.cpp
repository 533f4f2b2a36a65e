// The file log: line format, severities, settings and their rewrites, rotation,
// the message cut, the permanent switch-off, and writers in several threads and
// processes sharing one rotation set.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cwchar>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "foundation/VxFileLogLine.h"
#include "foundation/VxFileLogLocation.h"
#include "foundation/VxLogStream.h"
#include "tests/foundation/FileLogTestSupport.h"
#include "tests/support/HexBytes.h"

namespace {

namespace fs = std::filesystem;
using vxtest::FileLogHandle;
using vxtest::logLines;
using vxtest::readSetting;
using vxtest::writeSetting;

constexpr wchar_t kLogSource[] = L"VxFileLogTest";

// 7 March 2013, 21:05:01.
platform::LocalTime fixedTime() { return {2013, 3, 7, 21, 5, 1}; }

class VxFileLogTest : public ::testing::Test {
 protected:
  fs::path base() const { return folder_.machine() / "Vexora" / "VXLOGS"; }
  fs::path logFolder() const { return base() / "PartnerCustom" / program(); }
  fs::path logFile(int index) const {
    char number[8];
    std::snprintf(number, sizeof number, "%03d", index);
    return logFolder() / (program() + number + ".log");
  }
  fs::path globalIni() const { return base() / "log.ini"; }
  fs::path logIni() const { return logFolder() / "log.ini"; }
  static std::string program() { return VxNATypeConversion::wideBufferToAnsiString(vxHostProgramName()); }

  void createLog() {
    ASSERT_EQ(log_.create(), 0u);
    log_->setClock(&fixedTime);
  }
  std::vector<std::wstring> lines(int index = 0) const { return logLines(logFile(index)); }

  vxtest::FileTestFolder folder_;
  FileLogHandle log_;
};

// ---- line format ------------------------------------------------------------

struct LineCase {
  const char* name;
  platform::LocalTime time;
  std::uint32_t severity;
  std::uint32_t options;
  const wchar_t* module;
  const wchar_t* file;
  const wchar_t* function;
  const wchar_t* message;
  const wchar_t* expected;
};

const LineCase kLineCases[] = {
    {"DefaultOptions", {2013, 3, 7, 21, 5, 1}, 3, 16, L"Ovrascan.dll", L"", L"", L"text",
     L"03/07/2013 09:05:01 PM$ -- (Information)$ [   Ovrascan.dll]$ text\r\n"},
    {"MidnightIsTwelveAm", {2024, 12, 31, 0, 0, 9}, 1, 0, nullptr, nullptr, nullptr, L"x",
     L"12/31/2024 12:00:09 AM$ -- (Normal)$ x\r\n"},
    {"NoonIsTwelvePm", {999, 10, 10, 12, 59, 59}, 2, 0, nullptr, nullptr, nullptr, L"x",
     L"10/10/999 12:59:59 PM$ -- (Warning)$ x\r\n"},
    {"SeverityOutOfRangeHasNoName", {2013, 1, 2, 3, 4, 5}, 6, 0, nullptr, nullptr, nullptr, L"x",
     L"01/02/2013 03:04:05 AM$ -- ()$ x\r\n"},
    {"MessageEndingInLineFeedGetsNoLineEnd", {2013, 1, 2, 3, 4, 5}, 4, 0, nullptr, nullptr, nullptr, L"x\n",
     L"01/02/2013 03:04:05 AM$ -- (Error)$ x\n"},
    {"AllFieldsCutAndAligned", {2013, 1, 2, 13, 4, 5}, 5, 1 | 4 | 8 | 16 | 32, L"libovrascan-long-name.so",
     L"C:\\src\\VxAVScannerKernelPasses.cpp", L"CVxAVScannerKernel::OnScanSourceWithAVeryLongName", L"m",
     L"01/02/2013 01:04:05 PM$ -- (Critical)$ [libovrascan-lon]$ [PID:   42 TID:123456]$ "
     L"[VxAVScannerKernelPas:  678]$ [CVxAVScannerKernel::OnScanSourceWithAVer()]$ m\r\n"},
    {"ShortFieldsAreRightAligned", {2013, 1, 2, 13, 4, 5}, 3, 8 | 32, nullptr, L"a/b/Kernel", L"F::g", L"m",
     L"01/02/2013 01:04:05 PM$ -- (Information)$ [              Kernel:  678]$ "
     L"[                                    F::g()]$ m\r\n"},
    {"MissingFieldsKeepTheirBlank", {2013, 1, 2, 13, 4, 5}, 3, 8 | 16 | 32, L"", nullptr, L"", L"m",
     L"01/02/2013 01:04:05 PM$ -- (Information)$    m\r\n"},
};

class VxFileLogLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(VxFileLogLineTest, IsExact) {
  const LineCase& c = GetParam();
  VxFileLogLineFields fields;
  fields.time = c.time;
  fields.severity = c.severity;
  fields.options = c.options;
  fields.module = c.module;
  fields.processId = 42;
  fields.threadId = 123456;
  fields.file = c.file;
  fields.line = 678;
  fields.function = c.function;
  fields.message = c.message;
  EXPECT_EQ(formatFileLogLine(fields), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, VxFileLogLineTest, ::testing::ValuesIn(kLineCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(VxFileLogTest, FileHoldsTheMarkAndTheLineAsUtf16) {
  createLog();
  ASSERT_EQ(log_->logInformation(L"VxAVScannerKernel", L"CVxAVScannerKernel::Init", 12, L"%ls %d", L"\u00e9t\u00e9", 5), 0u);
  // The module is the host executable here; its name is cut to 15 characters.
  const std::wstring module = vxHostProgramName().substr(0, 15);
  const std::wstring line = L"03/07/2013 09:05:01 PM$ -- (Information)$ [" + std::wstring(15 - module.size(), L' ') +
                            module + L"]$ \u00e9t\u00e9 5\r\n";
  EXPECT_EQ(vxtest::hex(vxtest::fileBytes(logFile(0))), vxtest::hex("\xFF\xFE" + platform::encodeUtf16Le(line)));
}

// ---- severities and settings -------------------------------------------------

TEST_F(VxFileLogTest, DefaultsWriteSeveritiesThreeToFive) {
  createLog();
  EXPECT_FALSE(log_->isLogged(1));
  EXPECT_FALSE(log_->isLogged(2));
  EXPECT_TRUE(log_->isLogged(3));
  EXPECT_FALSE(log_->isLogged(6));
  log_->logNormal(L"f", L"F", 1, L"normal");
  log_->logWarning(L"f", L"F", 1, L"warning");
  log_->logInformation(L"f", L"F", 1, L"information");
  log_->logError(L"f", L"F", 1, L"error");
  log_->logCritical(L"f", L"F", 1, L"critical");
  const auto written = lines();
  ASSERT_EQ(written.size(), 3u);
  EXPECT_TRUE(written[0].ends_with(L"(Information)$ [" + std::wstring(15 - std::min<std::size_t>(15, vxHostProgramName().size()), L' ') +
                                   vxHostProgramName().substr(0, 15) + L"]$ information"));
  EXPECT_TRUE(written[1].ends_with(L"(Error)$ [" + std::wstring(15 - std::min<std::size_t>(15, vxHostProgramName().size()), L' ') +
                                   vxHostProgramName().substr(0, 15) + L"]$ error"));
  EXPECT_NE(written[2].find(L"(Critical)$"), std::wstring::npos);
  EXPECT_FALSE(fs::exists(logIni())) << "the defaults are not written anywhere";
}

TEST_F(VxFileLogTest, SeverityOneWritesEverythingAndEnableZeroNothing) {
  writeSetting(logIni(), L"Severity", 1);
  createLog();
  log_->logNormal(L"f", L"F", 1, L"normal");
  log_->logWarning(L"f", L"F", 1, L"warning");
  EXPECT_EQ(lines().size(), 2u);

  fs::remove_all(logFolder());
  writeSetting(globalIni(), L"Enable", 0);
  createLog();
  EXPECT_FALSE(log_->isLogged(5));
  log_->logCritical(L"f", L"F", 1, L"critical");
  EXPECT_FALSE(fs::exists(logFile(0)));
}

struct RewriteCase {
  const char* name;
  long long globalSeverity;  // -1: not set
  std::uint32_t logSeverity;
  std::uint32_t logMaxSize;
  std::uint32_t severityInForce;
  std::uint32_t maxSizeInForce;
};

class VxFileLogRewriteTest : public VxFileLogTest, public ::testing::WithParamInterface<RewriteCase> {};

TEST_P(VxFileLogRewriteTest, OutOfRangeValueIsReplacedInItsFile) {
  const RewriteCase& c = GetParam();
  if (c.globalSeverity >= 0) writeSetting(globalIni(), L"Severity", static_cast<std::uint32_t>(c.globalSeverity));
  writeSetting(logIni(), L"Severity", c.logSeverity);
  writeSetting(logIni(), L"MaxSize", c.logMaxSize);
  createLog();
  EXPECT_EQ(log_->settings().severity, c.severityInForce);
  EXPECT_EQ(log_->settings().maxSize, c.maxSizeInForce);
  EXPECT_EQ(readSetting(logIni(), L"Severity"), c.severityInForce);
  EXPECT_EQ(readSetting(logIni(), L"MaxSize"), c.maxSizeInForce);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VxFileLogRewriteTest,
    ::testing::Values(RewriteCase{"SixBecomesTheDefault", -1, 6, 1000, 3, 153600},
                      RewriteCase{"SixBecomesTheGlobalValue", 1, 6, 512001, 1, 153600},
                      RewriteCase{"InRangeValuesStay", 4, 0, 25600, 0, 25600}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(VxFileLogTest, OutOfRangeGlobalValueIsReplacedInTheGlobalFile) {
  writeSetting(globalIni(), L"MaxEntries", 11);
  writeSetting(globalIni(), L"Severity", 9);
  createLog();
  EXPECT_EQ(readSetting(globalIni(), L"MaxEntries"), 3);
  EXPECT_EQ(readSetting(globalIni(), L"Severity"), 3);
  EXPECT_FALSE(fs::exists(logIni()));
}

TEST_F(VxFileLogTest, ValueInPlainTextIsIgnored) {
  fs::create_directories(logFolder());
  std::ofstream(logIni()) << "[Config]\nSeverity=1\n";
  createLog();
  EXPECT_EQ(log_->settings().severity, 3u);
  EXPECT_EQ(vxtest::fileBytes(logIni()), "[Config]\nSeverity=1\n");
}

// ---- rotation -----------------------------------------------------------------

TEST_F(VxFileLogTest, TwoEntriesAlternateBetweenTheirFiles) {
  writeSetting(logIni(), L"MaxEntries", 2);
  writeSetting(logIni(), L"MaxSize", 25600);
  createLog();
  const std::wstring message(2000, L'm');  // about 4 KB a line: 7 lines fill a file
  std::vector<long long> sequence;
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(log_->logError(L"f", L"F", 1, L"%ls", message.c_str()), 0u);
    const long long stored = readSetting(logIni(), L"LastLogIdx");
    const long long index = stored == -1 ? 0 : stored;  // nothing stored yet: file 000
    if (sequence.empty() || sequence.back() != index) sequence.push_back(index);
  }
  ASSERT_GE(sequence.size(), 4u);
  for (std::size_t i = 0; i < sequence.size(); ++i) EXPECT_EQ(sequence[i], static_cast<long long>(i % 2)) << i;
  EXPECT_FALSE(fs::exists(logFile(2)));
  for (const int index : {0, 1}) {
    bool marked = false;
    const auto written = logLines(logFile(index), &marked);
    EXPECT_TRUE(marked);
    EXPECT_LE(fs::file_size(logFile(index)), 25600u + 4200u) << "a file ends at most one line above MaxSize";
    EXPECT_FALSE(written.empty());
  }
}

TEST_F(VxFileLogTest, IndexBeyondTheEntriesStartsAgainAtZero) {
  writeSetting(logIni(), L"LastLogIdx", 7);
  fs::create_directories(logFolder());
  std::ofstream(logFile(0)) << "old content";
  createLog();
  log_->logError(L"f", L"F", 1, L"first");
  bool marked = false;
  const auto written = logLines(logFile(0), &marked);
  EXPECT_TRUE(marked);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_TRUE(written[0].ends_with(L" first"));
  EXPECT_EQ(readSetting(logIni(), L"LastLogIdx"), 0);
}

// The log's own log.ini cannot be stored (a folder stands in its place) and
// file 000 is full: every line goes on into file 001, from this object (which
// keeps the index it could not store) and from a later writer (which finds file
// 001 written after file 000); file 000 is left as it was.
TEST_F(VxFileLogTest, IndexThatCannotBeStoredLosesNoLine) {
  fs::create_directories(logIni());
  const std::wstring filler = std::wstring(100, L'x') + L"\r\n";
  std::wstring full;
  while (full.size() * 2 < VxFileLogSettings{}.maxSize) full += filler;
  std::ofstream(logFile(0), std::ios::binary) << "\xFF\xFE" + platform::encodeUtf16Le(full);
  fs::last_write_time(logFile(0), fs::last_write_time(logFile(0)) - std::chrono::hours(1));
  const std::string fullBytes = vxtest::fileBytes(logFile(0));

  createLog();
  for (int n = 1; n <= 9; ++n) ASSERT_EQ(log_->logError(L"f", L"F", 1, L"line %d", n), 0u) << n;
  log_.reset();
  FileLogHandle later;
  ASSERT_EQ(later.create(), 0u);
  ASSERT_EQ(later->logError(L"f", L"F", 1, L"line 10"), 0u);

  const auto written = lines(1);
  ASSERT_EQ(written.size(), 10u);
  for (int n = 1; n <= 10; ++n) EXPECT_TRUE(written[n - 1].ends_with(L" line " + std::to_wstring(n))) << n;
  EXPECT_EQ(vxtest::fileBytes(logFile(0)), fullBytes);
  EXPECT_FALSE(fs::exists(logFile(2)));
}

// A line that does not fit (the file size limit stands for a full disk) is not
// left torn: once there is room again the next line follows the last whole one.
TEST_F(VxFileLogTest, LineThatDoesNotFitLeavesNothingBehind) {
  createLog();
  ASSERT_EQ(log_->logError(L"f", L"F", 1, L"first"), 0u);
  const auto sizeBefore = static_cast<rlim_t>(fs::file_size(logFile(0)));
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(2);
    const rlim_t unlimited = limit.rlim_max;
    limit.rlim_cur = sizeBefore + 40;  // part of the next line
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(3);
    const std::wstring message(200, L'x');
    if (log_->logError(L"f", L"F", 1, L"%ls", message.c_str()) == 0) ::_exit(4);
    limit.rlim_cur = unlimited;
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(5);
    if (log_->logError(L"f", L"F", 1, L"third") != 0) ::_exit(6);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  ASSERT_EQ(WEXITSTATUS(status), 0);
  const auto written = lines(0);
  ASSERT_EQ(written.size(), 2u);
  EXPECT_TRUE(written[0].ends_with(L" first"));
  EXPECT_TRUE(written[1].ends_with(L" third"));
  // Same time, same fields, a message of the same length: nothing glued in front.
  EXPECT_EQ(written[1].size(), written[0].size());
  EXPECT_EQ(written[1].find(L"xx"), std::wstring::npos);
  EXPECT_TRUE(vxtest::fileBytes(logFile(0)).ends_with(std::string("\r\0\n\0", 4)));
}

// ---- messages -----------------------------------------------------------------

TEST_F(VxFileLogTest, LongMessageIsCutAndGetsItsLineEnd) {
  createLog();
  const std::wstring longMessage(5000, L'a');
  log_->logError(L"f", L"F", 1, L"%ls", longMessage.c_str());
  // Exactly 4159 characters with their own line end: nothing is added.
  const std::wstring fitting = std::wstring(4157, L'b') + L"\r\n";
  log_->logError(L"f", L"F", 1, L"%ls", fitting.c_str());
  const auto written = lines();
  ASSERT_EQ(written.size(), 2u);
  EXPECT_TRUE(written[0].ends_with(L"]$ " + std::wstring(4159, L'a')));
  EXPECT_TRUE(written[1].ends_with(L"]$ " + std::wstring(4157, L'b')));
}

TEST_F(VxFileLogTest, LogStatementsEndTheirLinesOnce) {
  createLog();
  logstream::instance().setBackEnd(log_.get());
  VX_LOG(VX_LOG_ERROR, L"CVxFileLogTest::Run") << L"CVxFileLogTest::Run - failed, error = " << 5;
  VX_LOG(VX_LOG_NORMAL, L"CVxFileLogTest::Run") << L"not written";
  logstream::instance().setBackEnd(nullptr);
  const std::string bytes = vxtest::fileBytes(logFile(0));
  const std::wstring text = platform::decodeUtf16Le(bytes.data() + 2, bytes.size() - 2);
  EXPECT_TRUE(text.ends_with(L"]$ CVxFileLogTest::Run - failed, error = 5\r\n")) << vxtest::hex(bytes);
  EXPECT_EQ(text.find(L"\r\n"), text.size() - 2);
}

// ---- switch-off ---------------------------------------------------------------

TEST_F(VxFileLogTest, FolderThatCannotBeMadeTurnsLoggingOffForGood) {
  std::ofstream(folder_.machine() / "Vexora") << "a file where the folder goes";
  createLog();
  EXPECT_EQ(log_->logCritical(L"f", L"F", 1, L"lost"), 87u);
  EXPECT_FALSE(log_->isLogged(5));
  EXPECT_EQ(log_->settings().severity, CVxFileLog::kSeverityOff);
  // Even once the folder could be made, this log stays off.
  fs::remove(folder_.machine() / "Vexora");
  EXPECT_EQ(log_->write(L"f", L"F", 1, 5, L"still lost"), 87u);
  EXPECT_FALSE(fs::exists(logFolder()));
}

TEST_F(VxFileLogTest, LinkOnTheWayIsNotFollowed) {
  const fs::path elsewhere = folder_.root() / "elsewhere";
  fs::create_directories(elsewhere);
  fs::create_directories(folder_.machine() / "Vexora");
  fs::create_directory_symlink(elsewhere, base());
  createLog();
  EXPECT_EQ(log_->logCritical(L"f", L"F", 1, L"lost"), 87u);
  EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(VxFileLogTest, InitializeAndUninitializeAnswerTheirState) {
  createLog();
  EXPECT_EQ(log_->initialize(L"PartnerCustom", nullptr, nullptr), 20001u);
  EXPECT_EQ(log_->uninitialize(), 0u);
  EXPECT_EQ(log_->uninitialize(), 20002u);
  EXPECT_EQ(log_->initialize(L"PartnerCustom", nullptr, L""), 87u);
  EXPECT_EQ(log_->initialize(L"PartnerCustom", nullptr, nullptr), 0u);

  IVxLogBackEnd* backEnd = nullptr;
  EXPECT_EQ(createFileLog(L"", nullptr, nullptr, &backEnd), 87u);
  EXPECT_EQ(createFileLog(L"PartnerCustom", nullptr, L"", &backEnd), 87u);
  EXPECT_EQ(createFileLog(L"PartnerCustom", nullptr, nullptr, nullptr), 87u);
  EXPECT_EQ(backEnd, nullptr);
}

// ---- concurrency --------------------------------------------------------------

// Every line of the rotation set, in file order.
std::vector<std::wstring> allLines(const VxFileLogTest& test, int entries, const std::function<fs::path(int)>& file) {
  std::vector<std::wstring> all;
  for (int index = 0; index < entries; ++index) {
    if (!fs::exists(file(index))) continue;
    for (auto& line : logLines(file(index))) all.push_back(std::move(line));
  }
  static_cast<void>(test);
  return all;
}

// Checks that every line is whole ("... ]$ w<writer> n<number>") and counts
// each writer's numbers; a line that is not whole is returned.
std::vector<std::wstring> tornLines(const std::vector<std::wstring>& lines, std::map<int, std::set<int>>& seen) {
  std::vector<std::wstring> torn;
  for (const std::wstring& line : lines) {
    const std::size_t head = line.find(L" -- (Information)$ [");
    const std::size_t text = line.rfind(L"]$ w");
    int writer = -1;
    int number = -1;
    wchar_t rest = 0;
    if (head != 23 || text == std::wstring::npos ||
        std::swscanf(line.c_str() + text + 3, L"w%d n%d%lc", &writer, &number, &rest) != 2 ||
        !seen[writer].insert(number).second) {
      torn.push_back(line);
    }
  }
  return torn;
}

TEST_F(VxFileLogTest, FourThreadsWriteWholeLines) {
  createLog();
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int n = 0; n < kLines; ++n) log_->logInformation(L"f", L"F", 1, L"w%d n%d", t, n);
    });
  }
  for (auto& thread : threads) thread.join();
  std::map<int, std::set<int>> seen;
  const auto torn = tornLines(allLines(*this, 3, [this](int i) { return logFile(i); }), seen);
  EXPECT_TRUE(torn.empty()) << torn.size() << " lines are not whole";
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(seen[t].size(), static_cast<std::size_t>(kLines)) << t;
}

TEST_F(VxFileLogTest, TwoProcessesShareTheRotationWithoutMixingLines) {
  writeSetting(logIni(), L"MaxEntries", 10);
  writeSetting(logIni(), L"MaxSize", 512000);
  constexpr int kLines = 10000;
  std::vector<pid_t> children;
  for (int writer = 0; writer < 2; ++writer) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      FileLogHandle log;
      if (log.create() != 0) ::_exit(2);
      for (int n = 0; n < kLines; ++n) {
        if (log->logInformation(L"f", L"F", 1, L"w%d n%d", writer, n) != 0) ::_exit(3);
      }
      log.reset();
      ::_exit(0);
    }
    children.push_back(child);
  }
  // A child that has not ended after the deadline is killed and fails the test.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  for (const pid_t child : children) {
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (done == 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      ADD_FAILURE() << "writer " << child << " did not finish in time";
      continue;
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  std::map<int, std::set<int>> seen;
  const auto lines = allLines(*this, 10, [this](int i) { return logFile(i); });
  const auto torn = tornLines(lines, seen);
  EXPECT_EQ(lines.size(), 2u * kLines);
  EXPECT_TRUE(torn.empty()) << torn.size() << " lines are not whole, such as " << (torn.empty() ? "" : VxNATypeConversion::wideBufferToAnsiString(torn[0]));
  EXPECT_EQ(seen[0].size(), static_cast<std::size_t>(kLines));
  EXPECT_EQ(seen[1].size(), static_cast<std::size_t>(kLines));
  EXPECT_TRUE(fs::exists(logFile(1))) << "the set rotated";
}

}  // namespace
