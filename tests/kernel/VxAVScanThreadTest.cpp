// One scan worker driven directly: what it reports for each object, and the
// cancel handshake.
#include <gtest/gtest.h>

#include "foundation/VxErrorCodes.h"
#include "kernel/VxAVScanThread.h"
#include "platform/Thread.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/KernelDoubles.h"

namespace vxtest {
namespace {

// Records the worker's reports and the thread each arrived on.
class ThreadRecordingCallback final : public IVxAVScanner_Callback {
 public:
  void progress(const std::wstring& name, std::uint32_t status, std::uint32_t percent) override {
    recorder.progress(name, status, percent);
  }
  void onError(std::uint32_t error) override { recorder.onError(error); }
  void onComplete(std::uint32_t result) override {
    completeThread = platform::currentThreadId();
    recorder.onComplete(result);
  }
  RecordingCallback recorder;
  std::atomic<std::uint32_t> completeThread{0};
};

std::vector<RecordingCallback::Terminal> cancelled() {
  return {{false, AV_OPERATION_RESULT_CANCELLED}};
}

class ScanThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scanner = std::make_shared<FakeObjectScanner>(script);
    scanner->setEngine(std::make_shared<FakeEngine>());
    scanner->setScanTypes({1});
    scanner->initialize();
    ASSERT_TRUE(worker->Init(queue, callback).ok);
  }
  void TearDown() override {
    script->release();
    worker->uninit();
  }
  void scan(const std::wstring& name) {
    queue->push(std::make_shared<CVxAVScanObject>(VX_SCAN_OBJECT_FILE, name), false);
  }

  LogCapture capture;
  std::shared_ptr<ScanScript> script = std::make_shared<ScanScript>();
  std::shared_ptr<FakeObjectScanner> scanner;
  std::shared_ptr<VxNASharedEventQueue> queue = std::make_shared<VxNASharedEventQueue>();
  std::shared_ptr<ThreadRecordingCallback> callback = std::make_shared<ThreadRecordingCallback>();
  std::shared_ptr<CVxAVScanThread> worker = std::make_shared<CVxAVScanThread>();
};

TEST_F(ScanThreadTest, ReportsTheStatusOfEachObject) {
  ASSERT_TRUE(worker->setObjectScanner(scanner).ok);
  struct Case {
    std::wstring name;
    ObjectBehaviour behaviour;
    std::uint32_t status;
  };
  const std::vector<Case> cases = {
      {L"/ok", {}, AV_OBJECT_STATUS_OK},
      {L"/infected", {.infected = true}, AV_OBJECT_STATUS_INFECTED},
      {L"/unrecorded", {.recorded = false}, AV_OBJECT_STATUS_NOT_VERIFIED},
  };
  for (const auto& c : cases) script->set(c.name, c.behaviour);
  for (const auto& c : cases) scan(c.name);
  ASSERT_TRUE(callback->recorder.waitProgress(cases.size()));
  const auto calls = callback->recorder.progressCalls();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(calls[i].name, cases[i].name);
    EXPECT_EQ(calls[i].status, cases[i].status);
    EXPECT_EQ(calls[i].percent, 0u);
  }
  const LogEntry warning =
      capture->find(L"CVxAVScanThread::progress - failed to get result for object /unrecorded");
  EXPECT_EQ(warning.severity, VX_LOG_WARNING);
  EXPECT_EQ(warning.function, L"CVxAVScanThread::progress");
}

TEST_F(ScanThreadTest, IdleWorkerAcknowledgesACancelOnTheCallingThread) {
  ASSERT_TRUE(worker->setObjectScanner(scanner).ok);
  ASSERT_TRUE(worker->cancelScan().ok);
  EXPECT_EQ(callback->recorder.terminals(), cancelled());
  EXPECT_EQ(callback->completeThread.load(), platform::currentThreadId());
}

TEST_F(ScanThreadTest, ScanFinishingJustAfterACancelIsAcknowledgedWithoutProgress) {
  ASSERT_TRUE(worker->setObjectScanner(scanner).ok);
  script->set(L"/late", {.block = true, .ignoreCancel = true});
  script->cancelReleasesBlockedScan = false;
  scan(L"/late");
  ASSERT_TRUE(script->waitInFlight(1));
  ASSERT_TRUE(worker->cancelScan().ok);
  EXPECT_TRUE(callback->recorder.terminals().empty());
  script->release();
  ASSERT_TRUE(callback->recorder.waitTerminals(1));
  EXPECT_EQ(callback->recorder.terminals(), cancelled());
  EXPECT_TRUE(callback->recorder.progressCalls().empty());
}

TEST_F(ScanThreadTest, ScanFailureIsReportedAsAnError) {
  ASSERT_TRUE(worker->setObjectScanner(scanner).ok);
  script->set(L"/bad", {.fail = 0x42032F12});
  scan(L"/bad");
  ASSERT_TRUE(callback->recorder.waitTerminals(1));
  EXPECT_EQ(callback->recorder.terminals(),
            (std::vector<RecordingCallback::Terminal>{{true, 0x42032F12}}));
}

TEST_F(ScanThreadTest, WorkerWithoutScannerEndsAndUninitReturnsAtOnce) {
  scan(L"/x");
  ASSERT_TRUE(capture->waitFor(L"CVxAVScanThread::ThreadProc terminated normally"));
  EXPECT_TRUE(capture->contains(L"CVxAVScanThread::ThreadProc  - m_spAVObjectScanner is NULL",
                                VX_LOG_WARNING));
  EXPECT_TRUE(worker->uninit().ok);
  EXPECT_FALSE(worker->hasThread());
}

TEST_F(ScanThreadTest, ArgumentsAreChecked) {
  auto other = std::make_shared<CVxAVScanThread>();
  EXPECT_EQ(other->Init(nullptr, callback).error, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(other->Init(queue, nullptr).error, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(other->setObjectScanner(nullptr).error, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(other->getObjectScanner().error, ERROR_INVALID_DATA);
  EXPECT_FALSE(other->hasThread());
}

}  // namespace
}  // namespace vxtest
