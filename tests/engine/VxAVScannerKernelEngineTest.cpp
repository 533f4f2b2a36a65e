// A whole kernel with the product's own collaborators (engine start-up, object
// scanner, configuration reader, report) over the scriptable test engine, scanning
// the modules of the running processes.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "engine/VxAVEngineLibrary.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxNATypeConversion.h"
#include "kernel/VxAVScannerKernel.h"
#include "tests/engine/testengine/TestEngineControl.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/KernelDoubles.h"

extern char** environ;

namespace vxtest {
namespace {

constexpr wchar_t kProcessesConfig[] =
    LR"(<scanconfig><maxscancount value="65535"/>)"
    LR"(<scantype><item type="virus"/><item type="trojan"/></scantype>)"
    LR"(<source><item type="processes"/></source></scanconfig>)";

// A child process that runs until the test ends, so its modules are known to be there.
class ChildProcess {
 public:
  explicit ChildProcess(const char* program) {
    char* argv[] = {const_cast<char*>(program), const_cast<char*>("600"), nullptr};
    if (::posix_spawn(&pid_, program, nullptr, nullptr, argv, environ) != 0) pid_ = 0;
  }
  ~ChildProcess() {
    if (pid_ == 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  bool running() const { return pid_ != 0; }
  // Whether the child maps the program by now: spawning can return while the
  // new image is still being set up, with nothing but a stack in its maps.
  bool maps(const std::filesystem::path& program) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const std::string maps = "/proc/" + std::to_string(pid_) + "/maps";
    for (;;) {
      std::ifstream stream(maps);
      for (std::string line; std::getline(stream, line);) {
        if (line.find(" r-xp ") != std::string::npos && line.ends_with(" " + program.string())) return true;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
  }

 private:
  pid_t pid_ = 0;
};

class KernelEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestEngineReset();
    ASSERT_TRUE(CVxAVEngineLibrary::bindProcessEngine(
                    VxNATypeConversion::ansiBufferToWideString(TEST_ENGINE_PATH))
                    .ok);
    scriptEveryObject();
    kernel = CVxAVScannerKernel::GetInstance().value;
    ASSERT_TRUE(kernel->Init(client, kProcessesConfig).ok);
  }
  void TearDown() override {
    TestEngineReleaseScans();
    kernel->DeInit(true);
    TestEngineReset();
  }

  // Every object: its size, may it be scanned (declined in the profile pass,
  // which skips only the content), then done.
  static void scriptEveryObject() {
    static const TestEngineCallbackStep steps[] = {
        {AVM_OBJECT_SIZE, 0, 4096}, {AVM_QUERY_SCAN, 0, 0}, {AVM_OBJECT_DONE, 0, 0}};
    TestEngineSetScript(TEST_ENGINE_SCAN_OBJECT, steps, 3, /*honourDecline=*/0);
  }

  LogCapture capture;
  std::shared_ptr<RecordingCallback> client = std::make_shared<RecordingCallback>();
  std::shared_ptr<IVxAVScannerKernel> kernel;
};

TEST_F(KernelEngineTest, ScanOfTheRunningProcessesReportsEachModuleOnce) {
  ChildProcess child("/bin/sleep");
  ASSERT_TRUE(child.running());
  ASSERT_TRUE(child.maps(std::filesystem::canonical("/bin/sleep")));
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals(), (std::vector<RecordingCallback::Terminal>{{false, 0}}));

  const auto progress = client->progressCalls();
  std::set<std::wstring> names;
  for (const auto& p : progress) {
    EXPECT_TRUE(names.insert(p.name).second) << "reported twice";
    EXPECT_EQ(p.status, AV_OBJECT_STATUS_OK);
  }
  const std::wstring sleepModule =
      std::filesystem::canonical("/bin/sleep").wstring();
  EXPECT_TRUE(names.contains(sleepModule));
  for (std::size_t i = 1; i < progress.size(); ++i) {
    EXPECT_GE(progress[i].percent, progress[i - 1].percent);
  }
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().percent, 100u);

  const auto report = kernel->GetReport(true);
  ASSERT_TRUE(report.ok);
  std::size_t items = 0;
  for (auto at = report.value.find(L"<scannedItem "); at != std::wstring::npos;
       at = report.value.find(L"<scannedItem ", at + 1)) {
    ++items;
  }
  EXPECT_EQ(items, names.size());
  for (const auto& name : names) {
    EXPECT_NE(report.value.find(L"itemName=\"" + name + L"\""), std::wstring::npos);
  }
}

TEST_F(KernelEngineTest, CancelWhileEveryWorkerIsInsideTheEngine) {
  // Every worker is held inside the engine, as with large files.
  TestEngineHoldScansAtStep(2);
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_EQ(TestEngineWaitForHeldScans(4, 30000), 1);
  ASSERT_TRUE(kernel->Cancel().ok);
  EXPECT_TRUE(client->terminals().empty());
  TestEngineReleaseScans();
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals(), (std::vector<RecordingCallback::Terminal>{{false, 1}}));
  EXPECT_TRUE(client->progressCalls().empty());
  EXPECT_TRUE(capture->contains(
      L"CVxAVScannerKernel::onComplete - received Cancelled status from 4 scan threads"));

  // The same kernel scans again.
  client->clear();
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals(), (std::vector<RecordingCallback::Terminal>{{false, 0}}));
  EXPECT_FALSE(client->progressCalls().empty());
}

TEST_F(KernelEngineTest, APassCutShortReportsNoObjectAsScanned) {
  // Every worker is inside the engine in the profile pass, after the engine asked
  // whether to scan the content.
  TestEngineHoldScansAtStep(2);
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_EQ(TestEngineWaitForHeldScans(4, 30000), 1);
  ASSERT_TRUE(kernel->Cancel().ok);
  TestEngineReleaseScans();
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals(), (std::vector<RecordingCallback::Terminal>{{false, 1}}));

  const auto report = kernel->GetReport(true);
  ASSERT_TRUE(report.ok);
  EXPECT_NE(report.value.find(L"<scannedItem "), std::wstring::npos);
  EXPECT_EQ(report.value.find(L"IsScanned=\"1\""), std::wstring::npos) << report.value;
}

}  // namespace
}  // namespace vxtest
