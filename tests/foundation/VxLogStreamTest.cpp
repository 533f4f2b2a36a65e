#include "foundation/VxLogStream.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <iomanip>
#include <map>
#include <mutex>
#include <set>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/ModulePath.h"
#include "tests/support/CaptureLog.h"

namespace {

// The source name every statement of this file carries (the back end's "file").
constexpr wchar_t kLogSource[] = L"VxLogStreamTest";
constexpr wchar_t kFunction[] = L"LogStreamTest::Run";

// ---------------------------------------------------------------------------
// Header fields and text of one statement

struct SeverityCase {
  const char* name;
  std::uint32_t severity;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const SeverityCase& c, std::ostream* os) { *os << c.name; }

class LogStatementSeverityTest : public ::testing::TestWithParam<SeverityCase> {};

TEST_P(LogStatementSeverityTest, ReachesTheBackEndWithItsHeaderAndExactText) {
  const std::uint32_t severity = GetParam().severity;
  vxtest::LogCapture capture;

  // The text carries printf conversions: it must arrive as text, never as a format.
  // clang-format off
  VX_LOG(severity, kFunction) << L"scan of " << L"a.txt" << L" gave " << 42 << L" - 100% %s %d %ls"; const std::uint32_t line = __LINE__;
  // clang-format on

  const std::vector<vxtest::LogEntry> entries = capture->entries();
  ASSERT_EQ(entries.size(), 1u);
  const vxtest::LogEntry& entry = entries.front();
  EXPECT_EQ(entry.severity, severity);
  EXPECT_EQ(entry.message, L"scan of a.txt gave 42 - 100% %s %d %ls");
  EXPECT_EQ(entry.raw, entry.message + L"\r\n");
  EXPECT_EQ(entry.function, kFunction);
  EXPECT_EQ(entry.file, kLogSource);
  EXPECT_EQ(entry.line, line);
}

INSTANTIATE_TEST_SUITE_P(Severities, LogStatementSeverityTest,
                         ::testing::Values(SeverityCase{"Normal", VX_LOG_NORMAL},
                                           SeverityCase{"Warning", VX_LOG_WARNING},
                                           SeverityCase{"Information", VX_LOG_INFORMATION},
                                           SeverityCase{"Error", VX_LOG_ERROR},
                                           SeverityCase{"Critical", VX_LOG_CRITICAL}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LogStatementTest, SeveritiesOutsideTheKnownRangeProduceNothing) {
  vxtest::LogCapture capture;
  for (const std::uint32_t severity : {0u, 6u, 0xFFFFFFFFu}) {
    VX_LOG(severity, kFunction) << L"never written " << severity;
  }
  EXPECT_TRUE(capture->entries().empty());
}

TEST(LogStatementTest, SuccessiveStatementsKeepTheirOwnHeaders) {
  vxtest::LogCapture capture;
  VX_LOG(VX_LOG_ERROR, L"First::Function") << L"one";
  VX_LOG(VX_LOG_NORMAL, L"Second::Function") << L"two";

  const std::vector<vxtest::LogEntry> entries = capture->entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message, L"one");
  EXPECT_EQ(entries[0].function, L"First::Function");
  EXPECT_EQ(entries[0].severity, static_cast<std::uint32_t>(VX_LOG_ERROR));
  EXPECT_EQ(entries[1].message, L"two");
  EXPECT_EQ(entries[1].function, L"Second::Function");
  EXPECT_EQ(entries[1].severity, static_cast<std::uint32_t>(VX_LOG_NORMAL));
}

// ---------------------------------------------------------------------------
// Statements from several threads

TEST(LogStatementTest, ConcurrentStatementsArriveAsWholeUnmixedLines) {
  static constexpr int kThreads = 4;
  static constexpr int kStatements = 300;
  vxtest::LogCapture capture;

  // Each statement is streamed in several pieces, so that a missing critical section
  // would interleave pieces of different threads within one line.
  const auto text = [](int thread, int statement) {
    return L"thread " + std::to_wstring(thread) + L" statement " + std::to_wstring(statement) +
           L" of " + std::to_wstring(kStatements) + L" end";
  };
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < kStatements; ++i) {
          VX_LOG(VX_LOG_NORMAL, kFunction) << L"thread " << t << L" statement " << i << L" of "
                                           << kStatements << L" end";
        }
      });
    }
  }

  std::map<std::wstring, int> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kStatements; ++i) expected[text(t, i)] = 0;
  }
  const std::vector<vxtest::LogEntry> entries = capture->entries();
  EXPECT_EQ(entries.size(), static_cast<std::size_t>(kThreads * kStatements));
  for (const vxtest::LogEntry& entry : entries) {
    const auto it = expected.find(entry.message);
    ASSERT_NE(it, expected.end()) << "mixed or altered line: " << ::testing::PrintToString(entry.raw);
    ++it->second;
    EXPECT_EQ(entry.raw, entry.message + L"\r\n");
  }
  for (const auto& [message, seen] : expected) {
    EXPECT_EQ(seen, 1) << ::testing::PrintToString(message);
  }
}

// ---------------------------------------------------------------------------
// Formatting state does not carry over from one statement to the next

struct FormatCase {
  const char* name;
  std::function<void()> logFirst;
  std::wstring firstText;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class LogStatementFormatTest : public ::testing::TestWithParam<FormatCase> {
 protected:
  // The stream is process-wide: should a case leak state, put the defaults back so
  // that the failure stays with that case instead of spreading to later tests.
  void TearDown() override {
    logstream& stream = logstream::instance();
    std::lock_guard guard(stream.criticalSection());
    stream.copyfmt(std::wios(nullptr));
  }
};

// A statement with no manipulators of its own, formatted the default way.
void logProbe() {
  VX_LOG(VX_LOG_NORMAL, kFunction) << 255 << L'|' << true << L'|' << 2.5 << L'|' << 1234567.0
                                   << L'|' << 3.14159265 << L'|' << std::setw(4) << 7 << L'|'
                                   << -5;
}
constexpr wchar_t kProbeText[] = L"255|1|2.5|1.23457e+06|3.14159|   7|-5";

TEST_P(LogStatementFormatTest, ManipulatorsDoNotLeakIntoTheNextStatement) {
  const FormatCase& c = GetParam();
  vxtest::LogCapture capture;
  c.logFirst();
  logProbe();

  const std::vector<vxtest::LogEntry> entries = capture->entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].message, c.firstText);
  EXPECT_EQ(entries[1].message, kProbeText);
}

INSTANTIATE_TEST_SUITE_P(
    Manipulators, LogStatementFormatTest,
    ::testing::Values(
        FormatCase{"None", [] { VX_LOG(VX_LOG_NORMAL, kFunction) << 255; }, L"255"},
        FormatCase{"Hex", [] { VX_LOG(VX_LOG_NORMAL, kFunction) << std::hex << 255; }, L"ff"},
        FormatCase{"Oct", [] { VX_LOG(VX_LOG_NORMAL, kFunction) << std::oct << 255; }, L"377"},
        FormatCase{"HexUpperWithBase",
                   [] {
                     VX_LOG(VX_LOG_NORMAL, kFunction)
                         << std::hex << std::uppercase << std::showbase << 255;
                   },
                   L"0XFF"},
        FormatCase{"BoolAlpha",
                   [] { VX_LOG(VX_LOG_NORMAL, kFunction) << std::boolalpha << true; }, L"true"},
        FormatCase{"ShowPos", [] { VX_LOG(VX_LOG_NORMAL, kFunction) << std::showpos << 255; },
                   L"+255"},
        FormatCase{"Fixed", [] { VX_LOG(VX_LOG_NORMAL, kFunction) << std::fixed << 2.5; },
                   L"2.500000"},
        FormatCase{"Scientific",
                   [] { VX_LOG(VX_LOG_NORMAL, kFunction) << std::scientific << 2.5; },
                   L"2.500000e+00"},
        FormatCase{"LeftFillWidth",
                   [] {
                     VX_LOG(VX_LOG_NORMAL, kFunction)
                         << std::left << std::setfill(L'*') << std::setw(5) << 42;
                   },
                   L"42***"},
        FormatCase{"ZeroPaddedHex",
                   [] {
                     VX_LOG(VX_LOG_NORMAL, kFunction) << std::hex << std::uppercase
                                                      << std::setw(8) << std::setfill(L'0')
                                                      << 0x2Au;
                   },
                   L"0000002A"},
        FormatCase{"Precision",
                   [] { VX_LOG(VX_LOG_NORMAL, kFunction) << std::setprecision(2) << 3.14159; },
                   L"3.1"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Without a back end

TEST(LogStatementTest, StatementsWithoutABackEndAreDroppedAndTheStreamStaysUsable) {
  // Installing and removing a capture leaves the process with no back end at all.
  { vxtest::LogCapture removed; }
  for (std::uint32_t severity = VX_LOG_NORMAL; severity <= VX_LOG_CRITICAL; ++severity) {
    VX_LOG(severity, kFunction) << L"dropped " << std::hex << severity << std::setw(9);
  }

  vxtest::LogCapture capture;
  logProbe();
  const std::vector<vxtest::LogEntry> entries = capture->entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].message, kProbeText);
}


// ---------------------------------------------------------------------------
// The back end the stream asks for

namespace backend_request {

struct Request {
  int calls = 0;
  std::wstring logName;
  const void* module = nullptr;
  bool suffixGiven = true;
};
Request gRequest;  // filled by the factory below; read by the one test that uses it

std::uint32_t recordingFactory(const wchar_t* logName, const void* module, const wchar_t* suffix,
                               IVxLogBackEnd** out) {
  ++gRequest.calls;
  gRequest.logName = logName != nullptr ? logName : L"";
  gRequest.module = module;
  gRequest.suffixGiven = suffix != nullptr;
  *out = nullptr;
  return 1;  // none to be had: the buffer must cope
}

TEST(LogBackEndRequestTest, AsksForTheLogOfTheModuleThatHoldsTheStream) {
  gRequest = Request{};
  { logstreambuf buffer(logstream::instance(), &recordingFactory); }
  EXPECT_EQ(gRequest.calls, 1);
  EXPECT_EQ(gRequest.logName, L"PartnerCustom");
  EXPECT_FALSE(gRequest.suffixGiven);
  // The stream's code is linked into this test program: its module is the one.
  ASSERT_NE(gRequest.module, nullptr);
  EXPECT_EQ(gRequest.module, platform::moduleHandleOf(reinterpret_cast<const void*>(&logstream::instance)));
  std::string modulePath;
  std::string programPath;
  ASSERT_EQ(platform::modulePathOf(gRequest.module, modulePath), 0u);
  ASSERT_EQ(platform::hostExecutablePath(programPath), 0u);
  EXPECT_EQ(modulePath, programPath);
}

}  // namespace backend_request
}  // namespace
