// Stopping and re-initialising a kernel in every way a client can: afterwards
// exactly one kernel thread serves it, seen both through the kernel's count and
// through the thread's own log lines.
#include <functional>

#include "platform/Event.h"
#include "tests/kernel/KernelFixture.h"

namespace vxtest {
namespace {

constexpr wchar_t kStarted[] = L"CVxAVScannerKernel::ThreadProc started";
constexpr wchar_t kTerminated[] = L"CVxAVScannerKernel::ThreadProc terminated normally";

// A client whose first onComplete runs a hook on the kernel thread and then waits
// until the test lets it return.
class HoldingClient final : public IVxAVScanner_Callback {
 public:
  explicit HoldingClient(std::shared_ptr<RecordingCallback> recorder)
      : recorder_(std::move(recorder)) {}

  void progress(const std::wstring& name, std::uint32_t status, std::uint32_t percent) override {
    recorder_->progress(name, status, percent);
  }
  void onError(std::uint32_t error) override { recorder_->onError(error); }
  void onComplete(std::uint32_t result) override {
    recorder_->onComplete(result);
    if (held_.exchange(true)) return;
    if (hook) hook();
    inside.set();
    leave.wait();
  }

  std::function<void()> hook;
  platform::Event inside{platform::Event::ResetPolicy::Manual,
                         platform::Event::InitialState::NotSignaled};
  platform::Event leave{platform::Event::ResetPolicy::Manual,
                        platform::Event::InitialState::NotSignaled};

 private:
  std::shared_ptr<RecordingCallback> recorder_;
  std::atomic<bool> held_{false};
};

class KernelThreadTest : public KernelTest {
 protected:
  void TearDown() override {
    holding->leave.set();
    KernelTest::TearDown();
  }

  CVxAVScannerKernel& concrete() { return dynamic_cast<CVxAVScannerKernel&>(*kernel); }

  // Kernel threads that have started and not ended, by their log lines.
  std::size_t threadsByLog() {
    return capture->count(kStarted) - capture->count(kTerminated);
  }

  void scanToTheEnd(std::size_t terminals) {
    makeSources(3);
    ASSERT_TRUE(kernel->Scan(false).ok);
    ASSERT_TRUE(client->waitTerminals(terminals));
    EXPECT_EQ(client->terminals().back(), completed(AV_OPERATION_RESULT_COMPLETED));
  }

  std::shared_ptr<HoldingClient> holding = std::make_shared<HoldingClient>(client);
};

TEST_F(KernelThreadTest, OneKernelThreadAfterEveryWayOfStoppingAndInitialisingAgain) {
  struct Case {
    const char* name;
    // Stops the kernel while its thread is inside the client's onComplete.
    std::function<void()> stop;
  };
  const std::vector<Case> cases = {
      {"DeInit without waiting",
       [this] {
         ASSERT_TRUE(holding->inside.waitFor(kDeadline));
         ASSERT_TRUE(kernel->DeInit(false).ok);
       }},
      {"DeInit from the client's callback on the kernel thread",
       [this] { ASSERT_TRUE(holding->inside.waitFor(kDeadline)); }},
      {"DeInit that gives up waiting for the thread",
       [this] {
         ASSERT_TRUE(holding->inside.waitFor(kDeadline));
         ASSERT_TRUE(kernel->DeInit(true).ok);
         EXPECT_TRUE(capture->contains(L"Wait for CVxAVScannerKernel timed out - terminating thread",
                                         VX_LOG_WARNING));
       }},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    holding = std::make_shared<HoldingClient>(client);
    if (i == 1) holding->hook = [this] { EXPECT_TRUE(kernel->DeInit(true).ok); };
    client->clear();
    capture->clear();
    ASSERT_TRUE(kernel->Init(holding, kConfigText).ok);
    scanToTheEnd(1);
    c.stop();
    // Initialised again while the first thread is still inside the callback.
    ASSERT_TRUE(kernel->Init(holding, kConfigText).ok);
    holding->leave.set();
    scanToTheEnd(2);
    EXPECT_EQ(concrete().servingThreadCount(), 1u);
    EXPECT_EQ(threadsByLog(), 1u);

    ASSERT_TRUE(kernel->DeInit(true).ok);
    EXPECT_EQ(concrete().servingThreadCount(), 0u);
    ASSERT_TRUE(capture->waitFor(kTerminated, capture->count(kStarted)));
    EXPECT_EQ(threadsByLog(), 0u);
  }
}

TEST_F(KernelThreadTest, DeInitWithoutWaitingThenInitAtOnceKeepsOneThread) {
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE(round);
    client->clear();
    init();
    scanToTheEnd(1);
    ASSERT_TRUE(kernel->DeInit(false).ok);
    EXPECT_LE(concrete().servingThreadCount(), 1u);
  }
  init();
  client->clear();
  scanToTheEnd(1);
  EXPECT_EQ(concrete().servingThreadCount(), 1u);
  ASSERT_TRUE(kernel->DeInit(true).ok);
  EXPECT_EQ(concrete().servingThreadCount(), 0u);
  ASSERT_TRUE(capture->waitFor(kTerminated, capture->count(kStarted)));
}

}  // namespace
}  // namespace vxtest
