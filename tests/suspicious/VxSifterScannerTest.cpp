#include "suspicious/VxSifterScanner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

#include "tests/process/TestSigning.h"
#include "tests/support/CaptureLog.h"
#include "tests/suspicious/SifterTestSupport.h"

namespace {

namespace fs = std::filesystem;
using vxtest::kGenerousWait;

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }
std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> readLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void writeExecutable(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  ::chmod(path.c_str(), 0755);
}

// Sets TMPDIR for one test and puts back what was there.
class TemporaryFolderOverride {
 public:
  explicit TemporaryFolderOverride(const std::string& folder) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    ::setenv("TMPDIR", folder.c_str(), 1);
  }
  ~TemporaryFolderOverride() {
    if (old_) {
      ::setenv("TMPDIR", old_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }

 private:
  std::optional<std::string> old_;
};

// Every test gets a signed copy of the fake tool ("fake-Sifter.exe", signed by
// "Vexora, Inc." under the compiled-in test root), an unsigned copy, its control
// file, and a temporary folder of its own whose name has a blank in it.
class SifterScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(scratch.path().empty());
    fs::create_directories(temp);
    const std::string program = readFile(VX_TEST_FAKE_SIFTER);
    ASSERT_FALSE(program.empty());
    const vxtest::TestCertificate root = vxtest::makeTestRoot(1);
    const vxtest::TestCertificate signer = vxtest::makeSigner(root, "Vexora, Inc.", true);
    writeExecutable(tool, vxtest::appendSignature(
                              program, vxtest::signContent(program, signer, {root.certificate.get()})));
    writeExecutable(unsignedTool, program);
  }

  void TearDown() override {
    if (runner) release();
  }

  // Control lines for the fake tool's next runs.
  void control(const std::vector<std::string>& lines) {
    std::ofstream out(scratch.file("fake-sifter.control"), std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
  }

  void makeRunner(bool withWorker = true) {
    runner = std::make_shared<vxtest::ObservedSifterScanner>();
    ASSERT_EQ(runner->setToolPath(wide(tool)), 0u);
    if (withWorker) {
      ASSERT_EQ(runner->startWorker(), 0u);
    }
  }

  // As the owner does when it goes: terminate, drop the reference, and wait
  // until the last holder has destroyed the runner.
  void release() {
    const std::shared_ptr<platform::Event> gone = runner->gone;
    runner->TerminateMyThread();
    runner.reset();
    ASSERT_TRUE(gone->waitFor(kGenerousWait));
  }

  vxtest::LogCapture capture;
  vxtest::SifterScratch scratch;
  std::string temp = scratch.file("temp dir");
  TemporaryFolderOverride tempOverride{temp};
  std::string tool = scratch.file("fake-Sifter.exe");
  std::string unsignedTool = scratch.file("unsigned-Sifter.exe");
  std::string runs = scratch.file("runs");
  std::shared_ptr<vxtest::ObservedSifterScanner> runner;
  platform::automation::com_ptr<vxtest::RecordingCallback> callback = vxtest::makeRecordingCallback();
};

// A request made while a run of its kind is in progress is absorbed by that
// run: one run, one completion. The upload afterwards is a fence: a scan request
// still pending would win over it (lower wait index) and show up first.
TEST_F(SifterScannerTest, RequestsDuringARunAreAbsorbed) {
  vxtest::HoldingFifo hold(scratch.file("hold"));
  vxtest::StartedFifo started(scratch.file("started"));
  control({"record " + runs, "started " + started.path(), "block " + hold.path(), "report ok",
           "prefs ok"});
  makeRunner();
  ASSERT_EQ(runner->startScan(callback.get()), 0u);
  ASSERT_TRUE(started.waitForStart());
  // Neither waits for the run in progress.
  EXPECT_EQ(runner->startScan(callback.get()), 0u);
  EXPECT_EQ(runner->startScan(callback.get()), 0u);
  control({"record " + runs, "report ok", "prefs ok"});
  hold.release();

  ASSERT_TRUE(callback->waitForScans(1));
  ASSERT_EQ(runner->startUpload(callback.get()), 0u);
  ASSERT_TRUE(callback->waitForUploads(1));
  EXPECT_EQ(callback->scans(), std::vector<ULONG>{0});
  EXPECT_EQ(callback->uploads(), std::vector<ULONG>{0});
  const std::vector<std::string> lines = readLines(runs);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind("--silent", 0), 0u);
  EXPECT_EQ(lines[1].rfind("--upload=", 0), 0u);
}

// A completion callback that asks for another scan from inside the delivery
// gets it (and no third one).
TEST_F(SifterScannerTest, AScanRequestedByTheCompletionCallbackRuns) {
  control({"record " + runs, "report ok", "prefs ok"});
  makeRunner();
  bool askedAgain = false;
  vxtest::ObservedSifterScanner* const target = runner.get();
  vxtest::RecordingCallback* const self = callback.get();
  callback->onScan = [&askedAgain, target, self](ULONG) {
    if (std::exchange(askedAgain, true)) return;
    target->startScan(self);
  };
  ASSERT_EQ(runner->startScan(callback.get()), 0u);
  ASSERT_TRUE(callback->waitForScans(2));
  ASSERT_EQ(runner->startUpload(callback.get()), 0u);
  ASSERT_TRUE(callback->waitForUploads(1));
  EXPECT_EQ(callback->scans(), (std::vector<ULONG>{0, 0}));
  EXPECT_EQ(readLines(runs).size(), 3u);
}

// Once clearCallback has returned, nothing is reported: neither the run that
// was in progress nor a later one requested without a callback; both run.
TEST_F(SifterScannerTest, RunsAfterClearCallbackReportToNobody) {
  vxtest::HoldingFifo hold(scratch.file("hold"));
  vxtest::StartedFifo started(scratch.file("started"));
  control({"record " + runs, "started " + started.path(), "block " + hold.path(), "report ok",
           "prefs none"});
  makeRunner();
  ASSERT_EQ(runner->startScan(callback.get()), 0u);
  ASSERT_TRUE(started.waitForStart());
  EXPECT_EQ(runner->clearCallback(), 0u);
  control({"record " + runs, "report ok", "prefs none"});
  hold.release();

  // Uploads without a callback (no preferences: nothing runs) are the fences:
  // the worker takes one up only once the scan before it has been handled,
  // delivery included; their log entries tell when. A request is made only
  // once the last one of its kind has been logged by a later run of the other
  // kind, so that none is absorbed.
  const std::wstring uploadRefused = L"CVxSifterScanner::upload() - Cant upload zip file empty";
  const std::wstring scanned = L"CVxSifterScanner::scan() - Sifter scan return code:0";
  ASSERT_EQ(runner->startUpload(nullptr), 0u);
  ASSERT_TRUE(capture->waitFor(uploadRefused, 1));
  ASSERT_EQ(runner->startScan(nullptr), 0u);
  ASSERT_TRUE(capture->waitFor(scanned, 2));
  ASSERT_EQ(runner->startUpload(nullptr), 0u);
  ASSERT_TRUE(capture->waitFor(uploadRefused, 2));
  EXPECT_EQ(capture->count(scanned), 2u);
  EXPECT_TRUE(callback->scans().empty());
  EXPECT_TRUE(callback->uploads().empty());
  EXPECT_EQ(readLines(runs).size(), 2u);
  // The runner holds no reference of the cleared callback.
  EXPECT_EQ(callback->references(), 1u);
}

// What the callback receives for the runs the tool and the runner make of it.
TEST_F(SifterScannerTest, OutcomesReachTheCallback) {
  struct Case {
    const char* what;
    std::vector<std::string> control;
    bool signedTool;
    bool scanFirst;
    bool upload;
    std::vector<ULONG> scans;
    std::vector<ULONG> uploads;
  };
  const Case cases[] = {
      {"tool exits 5", {"exit 5"}, true, true, false, {5}, {}},
      {"unsigned tool", {"report ok", "prefs ok"}, false, true, false, {1392}, {}},
      {"upload before any scan", {"report ok", "prefs ok"}, true, false, true, {}, {1805}},
      {"malformed preferences", {"report ok", "prefs malformed"}, true, true, true, {0}, {1805}},
      {"no preferences", {"report ok", "prefs none"}, true, true, true, {0}, {1805}},
      {"upload exits 7", {"report ok", "prefs ok", "exit 7"}, true, true, true, {7}, {7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    control(c.control);
    makeRunner();
    if (!c.signedTool) {
      ASSERT_EQ(runner->setToolPath(wide(unsignedTool)), 0u);
    }
    const auto outcome = vxtest::makeRecordingCallback();
    if (c.scanFirst) {
      ASSERT_EQ(runner->startScan(outcome.get()), 0u);
      ASSERT_TRUE(outcome->waitForScans(1));
    }
    if (c.upload) {
      ASSERT_EQ(runner->startUpload(outcome.get()), 0u);
      ASSERT_TRUE(outcome->waitForUploads(1));
    }
    EXPECT_EQ(outcome->scans(), c.scans);
    EXPECT_EQ(outcome->uploads(), c.uploads);
    release();
  }
  EXPECT_TRUE(capture->contains(L"CVxSifterScanner::scan() - Failed to launch Sifter --SCAN", VX_LOG_ERROR));
  EXPECT_TRUE(capture->contains(L"CVxSifterScanner::upload() - Cant upload zip file empty", VX_LOG_ERROR));
}

// The report of the last scan, read in bounds.
TEST_F(SifterScannerTest, ReadingTheReport) {
  const std::string report = "<Files><File path=\"/home/user/odd.bin\"/></Files>";
  struct Case {
    const char* what;
    std::string reportControl;
    bool cleanFirst;
    std::uint32_t error;
  };
  const Case cases[] = {
      {"report written", "report ok", false, 0},
      {"no report", "report missing", false, 2},
      {"report one byte too large",
       "report huge " + std::to_string(std::uint64_t{CVxSifterScanner::kMaxReportSize} + 1), false,
       223},
      {"after CleanSession", "report ok", true, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    control({c.reportControl, "prefs ok"});
    makeRunner(false);
    ASSERT_EQ(runner->scan(), 0u);
    if (c.cleanFirst) {
      EXPECT_EQ(runner->CleanSession(), 0u);
    }
    CVxFileUtil::Buffer buffer;
    EXPECT_EQ(runner->ReadFileScanReport(buffer), c.error);
    if (c.error == 0) {
      ASSERT_NE(buffer, nullptr);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.get())), report);
    } else {
      EXPECT_EQ(buffer, nullptr);
    }
    release();
  }
}

// CleanSession removes the session folder with whatever the tool left in it,
// read-only folders included; the next session gets a fresh name.
TEST_F(SifterScannerTest, CleanSessionRemovesWhatTheToolLeft) {
  control({"report ok", "prefs ok", "locked yes"});
  makeRunner(false);
  ASSERT_EQ(runner->scan(), 0u);
  const std::string session = narrow(runner->getSessionFolder());
  ASSERT_TRUE(fs::exists(session + "/Data/locked/file"));
  EXPECT_EQ(runner->CleanSession(), 0u);
  EXPECT_FALSE(fs::exists(fs::symlink_status(session)));
  EXPECT_TRUE(capture->contains(L"CVxSifterScanner::cleanAndDeleteDir, errorcode:1", VX_LOG_NORMAL));
  EXPECT_TRUE(capture->contains(L"CVxSifterScanner::CleanSession - Cleaned session data", VX_LOG_NORMAL));
}

// The tool path must name an ".exe" (case-sensitive); a refused path leaves the
// previous one in place.
TEST_F(SifterScannerTest, ToolPathsWithoutExeAreRefused) {
  makeRunner(false);
  struct Case {
    std::wstring path;
    std::uint32_t error;
  };
  const Case cases[] = {
      {L"", 87}, {L"/opt/vexora/Sifter", 87}, {L"/opt/vexora/Sifter.EXE", 87}, {wide(tool), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(narrow(c.path));
    EXPECT_EQ(runner->setToolPath(c.path), c.error);
    std::wstring version;
    EXPECT_EQ(runner->GetVersion(version), 0u);
    EXPECT_EQ(version, L"1.2.3.4");
  }
}

// The argument lists the tool receives: the session folder, under a private
// folder of the runner inside the temporary folder, arrives as one argument
// also when the temporary folder's name has a blank, and so does the zip path.
TEST_F(SifterScannerTest, TheToolReceivesItsArguments) {
  for (const std::string name : {"plain", "with blank"}) {
    SCOPED_TRACE(name);
    const std::string folder = scratch.file(name);
    fs::create_directories(folder);
    TemporaryFolderOverride override(folder);
    fs::remove(runs);
    control({"record " + runs, "report ok", "prefs ok"});
    makeRunner(false);
    ASSERT_EQ(runner->scan(), 0u);
    const std::string session = narrow(runner->getSessionFolder());
    ASSERT_EQ(runner->upload(), 0u);

    const fs::path sessionPath(session);
    const fs::path privateFolder = sessionPath.parent_path();
    EXPECT_EQ(privateFolder.parent_path(), fs::path(folder));
    EXPECT_EQ(privateFolder.filename().string().rfind("vxsifter.", 0), 0u);
    struct stat status {};
    ASSERT_EQ(::lstat(privateFolder.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    const std::string leaf = sessionPath.filename().string();
    ASSERT_EQ(leaf.rfind("siftertmp", 0), 0u);
    const int number = std::atoi(leaf.c_str() + 9);
    EXPECT_TRUE(number >= 1 && number <= 100) << leaf;

    const std::vector<std::string> lines = readLines(runs);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "--silent\t--offline\t--zippath=" + session);
    EXPECT_EQ(lines[1], "--upload=" + session + "/upload.zip");
    const std::wstring quote = name == "plain" ? L"" : L"\"";
    EXPECT_TRUE(capture->contains(L"CVxExeTask::runProcess.......Starting: CMD:--silent --offline --zippath=" +
                                  quote + wide(session) + quote));
    const vxtest::LogEntry entry = capture->find(L"CVxSifterScanner::scan() - Sifter scan return code:0");
    EXPECT_EQ(entry.function, L"CVxSifterScanner::scan");
    EXPECT_EQ(entry.file, L"VxSuspiciousScan");
    EXPECT_EQ(entry.severity, VX_LOG_NORMAL);
    release();
    // The private folder goes with the runner.
    EXPECT_FALSE(fs::exists(fs::symlink_status(privateFolder)));
    capture->clear();
  }
}

// Links planted where the session folders would go in the shared temporary
// folder, at the session folder's own name, and in place of the private folder
// after it was made never turn a creation or deletion elsewhere.
TEST_F(SifterScannerTest, PlantedLinksRedirectNothing) {
  const std::string victim = scratch.file("victim");
  for (int n = 0; n <= 100; ++n) {
    const std::string name = "siftertmp" + std::to_string(n);
    fs::create_directories(victim + "/" + name);
    std::ofstream(victim + "/" + name + "/keep") << "keep";
    fs::create_directory_symlink(victim + "/" + name, temp + "/" + name);
  }
  const auto victimUntouched = [&] {
    for (int n = 0; n <= 100; ++n) {
      const std::string name = "siftertmp" + std::to_string(n);
      if (readFile(victim + "/" + name + "/keep") != "keep") return false;
      if (fs::exists(victim + "/" + name + "/Logs") || fs::exists(victim + "/" + name + "/Sifter.xml")) {
        return false;
      }
      if (!fs::is_symlink(temp + "/" + name)) return false;
    }
    return true;
  };
  control({"report ok", "prefs ok"});
  makeRunner(false);

  // A link at the session folder's own name is replaced, not followed.
  const std::string session = narrow(runner->getSessionFolder());
  const std::string sessionName = fs::path(session).filename().string();
  fs::create_directory_symlink(victim + "/" + sessionName, session);
  ASSERT_EQ(runner->scan(), 0u);
  EXPECT_FALSE(fs::is_symlink(session));
  EXPECT_TRUE(fs::exists(session + "/Logs/Files.xml"));
  EXPECT_EQ(runner->CleanSession(), 0u);
  EXPECT_TRUE(victimUntouched());

  // The private folder swapped for a link: the runner keeps working in the
  // folder it made (now elsewhere) and never reaches through the link.
  const std::string next = narrow(runner->getSessionFolder());
  const std::string privateFolder = fs::path(next).parent_path().string();
  const std::string moved = scratch.file("moved");
  ASSERT_EQ(runner->prepareSifter(), 0u);
  fs::rename(privateFolder, moved);
  fs::create_directory_symlink(victim, privateFolder);
  const std::string nextName = fs::path(next).filename().string();
  EXPECT_TRUE(fs::is_directory(moved + "/" + nextName));
  EXPECT_EQ(runner->CleanSession(), 0u);
  EXPECT_FALSE(fs::exists(moved + "/" + nextName));
  const std::string third = narrow(runner->getSessionFolder());
  EXPECT_EQ(runner->prepareSifter(), 0u);
  EXPECT_TRUE(fs::is_directory(moved + "/" + fs::path(third).filename().string()));
  EXPECT_EQ(runner->CleanSession(), 0u);
  EXPECT_TRUE(victimUntouched());

  // Destroying the runner leaves the link at its old name alone.
  release();
  EXPECT_TRUE(fs::is_symlink(privateFolder));
  EXPECT_TRUE(victimUntouched());
}

// The owner may let go during a run that does not end: that returns at once,
// the worker keeps the runner alive, nothing is reported after
// TerminateMyThread, and once the tool exits everything winds down.
TEST_F(SifterScannerTest, ReleasingDuringARunReturnsAtOnce) {
  vxtest::HoldingFifo hold(scratch.file("hold"));
  vxtest::StartedFifo started(scratch.file("started"));
  control({"started " + started.path(), "block " + hold.path(), "report ok"});
  makeRunner();
  ASSERT_EQ(runner->startScan(callback.get()), 0u);
  ASSERT_TRUE(started.waitForStart());

  const std::shared_ptr<platform::Event> gone = runner->gone;
  runner->TerminateMyThread();
  runner.reset();
  EXPECT_FALSE(gone->isSignaled());

  hold.release();
  ASSERT_TRUE(gone->waitFor(kGenerousWait));
  EXPECT_TRUE(capture->waitFor(L"CVxSifterScanner: Thread Exited........"));
  EXPECT_TRUE(callback->scans().empty());
  EXPECT_EQ(callback->references(), 1u);
}

// The private folder goes before TerminateMyThread returns, with or without a
// run in progress, and none is made afterwards: a host that exits right after
// letting go, before the worker has woken to destroy the runner, leaves nothing
// in the temporary folder. (The test still holds the runner, as a host's worker
// does that has not woken yet.)
TEST_F(SifterScannerTest, TerminatingDeletesThePrivateFolderAtOnce) {
  const auto privateFolders = [&] {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(temp)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("vxsifter.", 0) == 0) names.push_back(name);
    }
    return names;
  };
  struct Case {
    const char* what;
    bool runInProgress;
  };
  for (const Case& c : {Case{"after a scan", false}, Case{"during a scan", true}}) {
    SCOPED_TRACE(c.what);
    vxtest::HoldingFifo hold(scratch.file(std::string("hold ") + c.what));
    vxtest::StartedFifo started(scratch.file(std::string("started ") + c.what));
    if (c.runInProgress) {
      control({"started " + started.path(), "block " + hold.path(), "report ok"});
    } else {
      control({"report ok", "prefs ok"});
    }
    const auto outcome = vxtest::makeRecordingCallback();
    makeRunner();
    ASSERT_EQ(runner->startScan(outcome.get()), 0u);
    if (c.runInProgress) {
      ASSERT_TRUE(started.waitForStart());
    } else {
      ASSERT_TRUE(outcome->waitForScans(1));
    }
    ASSERT_EQ(privateFolders().size(), 1u);

    runner->TerminateMyThread();
    EXPECT_EQ(privateFolders(), std::vector<std::string>{});
    hold.release();
    // Once the run is over, a session folder can no longer be made.
    EXPECT_NE(runner->prepareSifter(), 0u);
    EXPECT_EQ(privateFolders(), std::vector<std::string>{});
    release();
  }
}

// The tool's version is read from its version note, the tool path resolved as
// the task resolves it.
TEST_F(SifterScannerTest, VersionOfTheTool) {
  const std::string text = scratch.file("text.exe");
  std::ofstream(text) << "not a program";
  const std::string link = scratch.file("link.exe");
  fs::create_symlink(tool, link);
  ::setenv("VX_TEST_SIFTER_FOLDER", scratch.path().c_str(), 1);
  // An ELF program without a version note: this test program.
  const std::string plainProgram = scratch.file("plain-program.exe");
  fs::copy_file("/proc/self/exe", plainProgram);
  struct Case {
    std::wstring path;
    std::uint32_t error;
    std::wstring version;
    std::uint32_t logged;  // code in the Error entry
  };
  const Case cases[] = {
      {wide(tool), 0, L"1.2.3.4", 0},
      {L"./FakeSifter.exe", 0, L"1.2.3.4", 0},
      {L"%VX_TEST_SIFTER_FOLDER%/fake-Sifter.exe", 0, L"1.2.3.4", 0},
      {wide(plainProgram), 1359, L"", 1813},
      {wide(text), 1359, L"", 1813},
      {wide(link), 1359, L"", 1921},
      {wide(scratch.file("missing.exe")), 1359, L"", 2},
  };
  makeRunner(false);
  for (const Case& c : cases) {
    SCOPED_TRACE(narrow(c.path));
    capture->clear();
    ASSERT_EQ(runner->setToolPath(c.path), 0u);
    std::wstring version;
    EXPECT_EQ(runner->GetVersion(version), c.error);
    EXPECT_EQ(version, c.version);
    if (c.error == 0) {
      EXPECT_TRUE(capture->contains(L"CVxSifterScanner::GetVersion - Sifter module version:" + c.version,
                                    VX_LOG_NORMAL));
    } else {
      EXPECT_TRUE(capture->contains(L"CVxSifterScanner::GetVersion - module version fetch, error:" +
                                        std::to_wstring(c.logged),
                                    VX_LOG_ERROR));
    }
  }
  ::unsetenv("VX_TEST_SIFTER_FOLDER");
}

}  // namespace
