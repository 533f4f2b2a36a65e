#include "kernel/VxNAThread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "foundation/VxLog.h"
#include "platform/Event.h"
#include "tests/support/CaptureLog.h"

namespace {

using platform::Event;
using namespace std::chrono_literals;

constexpr auto kDeadline = 30s;

// How a worker's body behaves.
enum class Body {
  // Runs until TerminateMyThread.
  UntilTerminated,
  // Returns on its own as soon as it has started.
  ReturnsAtOnce,
  // Returns on its own the first time; later runs last until TerminateMyThread.
  ReturnsOnFirstRun,
  // Ignores TerminateMyThread and runs until the test releases it.
  IgnoresTerminate,
};

// State a worker shares with its test. Shared, because a body that Stop gave up on
// runs on after the test has dropped its own reference to the worker.
struct WorkerState {
  Event terminate{Event::ResetPolicy::Manual, Event::InitialState::NotSignaled};
  Event release{Event::ResetPolicy::Manual, Event::InitialState::NotSignaled};
  Event entered{Event::ResetPolicy::Automatic, Event::InitialState::NotSignaled};
  Event exited{Event::ResetPolicy::Automatic, Event::InitialState::NotSignaled};
  Event destroyed{Event::ResetPolicy::Manual, Event::InitialState::NotSignaled};
  std::atomic<int> runs{0};
  std::atomic<int> terminateCalls{0};
};

class TestWorker final : public CVxNAThread {
 public:
  TestWorker(Body body, std::shared_ptr<WorkerState> state)
      : CVxNAThread(true), body_(body), state_(std::move(state)) {}
  ~TestWorker() override { state_->destroyed.set(); }

  void ThreadProc() override {
    const int run = ++state_->runs;
    state_->entered.set();
    switch (body_) {
      case Body::UntilTerminated:
        state_->terminate.wait();
        break;
      case Body::ReturnsAtOnce:
        break;
      case Body::ReturnsOnFirstRun:
        if (run > 1) state_->terminate.wait();
        break;
      case Body::IgnoresTerminate:
        state_->release.wait();
        break;
    }
    state_->exited.set();
  }

  void TerminateMyThread() override {
    ++state_->terminateCalls;
    state_->terminate.set();
  }

 private:
  const Body body_;
  const std::shared_ptr<WorkerState> state_;
};

class VxNAThreadTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Whatever a failed test left running is told to finish, so no body outlives
    // the test's events or the process's last test.
    if (worker_ != nullptr) worker_->Stop();
    state_->release.set();
    worker_.reset();
    EXPECT_TRUE(state_->destroyed.waitFor(kDeadline));
  }

  TestWorker& makeWorker(Body body) {
    worker_ = std::make_shared<TestWorker>(body, state_);
    return *worker_;
  }

  std::uint32_t start(const std::wstring& name) { return worker_->Start(name, worker_); }

  // Log statements of CVxNAThread itself.
  std::vector<vxtest::LogEntry> threadLog() {
    std::vector<vxtest::LogEntry> entries = capture_->entries();
    std::erase_if(entries, [](const vxtest::LogEntry& e) { return e.file != L"VxNAThread"; });
    return entries;
  }

  vxtest::LogCapture capture_;
  std::shared_ptr<WorkerState> state_ = std::make_shared<WorkerState>();
  std::shared_ptr<TestWorker> worker_;
};

TEST_F(VxNAThreadTest, StartRunsTheBodyAndStopEndsItWithTheLogLinesOfAThreadLife) {
  TestWorker& worker = makeWorker(Body::UntilTerminated);
  ASSERT_EQ(start(L"QueueWorker"), 0u);
  ASSERT_TRUE(state_->entered.waitFor(kDeadline));
  EXPECT_TRUE(worker.hasThread());
  EXPECT_NE(worker.threadId(), 0u);

  worker.Stop();
  EXPECT_FALSE(worker.hasThread());
  EXPECT_EQ(worker.threadId(), 0u);
  EXPECT_EQ(state_->terminateCalls.load(), 1);
  EXPECT_EQ(state_->runs.load(), 1);

  struct Expected {
    std::wstring message;
    std::uint32_t severity;
    std::wstring function;
  };
  const std::vector<Expected> expected{
      {L"Entering thread loop QueueWorker", VX_LOG_NORMAL, L"CVxNAThread::ThreadProc"},
      {L"Exited thread loop QueueWorker", VX_LOG_NORMAL, L"CVxNAThread::ThreadProc"},
      {L"Wait for QueueWorker thread handle was successful", VX_LOG_NORMAL, L"CVxNAThread::Stop"},
  };
  // Stop joined the thread, so every line of its life is in, in this order.
  const std::vector<vxtest::LogEntry> log = threadLog();
  ASSERT_EQ(log.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(log[i].message, expected[i].message) << i;
    EXPECT_EQ(log[i].severity, expected[i].severity) << i;
    EXPECT_EQ(log[i].function, expected[i].function) << i;
    EXPECT_EQ(log[i].file, L"VxNAThread") << i;
  }
}

TEST_F(VxNAThreadTest, SecondStartWhileRunningKeepsTheOneThread) {
  TestWorker& worker = makeWorker(Body::UntilTerminated);
  ASSERT_EQ(start(L"Twice"), 0u);
  ASSERT_TRUE(state_->entered.waitFor(kDeadline));
  const std::uint32_t firstId = worker.threadId();

  EXPECT_EQ(start(L"Twice"), 0u);
  EXPECT_EQ(worker.threadId(), firstId);

  worker.Stop();
  EXPECT_EQ(state_->runs.load(), 1);
  EXPECT_EQ(capture_->count(L"Entering thread loop Twice"), 1u);
  EXPECT_EQ(capture_->count(L"Wait for Twice thread handle was successful"), 1u);
}

TEST_F(VxNAThreadTest, StopWithoutARunningThreadDoesNothing) {
  TestWorker& worker = makeWorker(Body::UntilTerminated);
  worker.Stop();  // never started
  EXPECT_EQ(state_->terminateCalls.load(), 0);

  ASSERT_EQ(start(L"Once"), 0u);
  ASSERT_TRUE(state_->entered.waitFor(kDeadline));
  worker.Stop();
  const std::size_t linesAfterFirstStop = threadLog().size();

  worker.Stop();
  worker.Stop();
  EXPECT_EQ(state_->terminateCalls.load(), 1);
  EXPECT_EQ(threadLog().size(), linesAfterFirstStop);
  EXPECT_FALSE(worker.hasThread());
}

TEST_F(VxNAThreadTest, StartAfterStopRunsAFreshThread) {
  TestWorker& worker = makeWorker(Body::ReturnsAtOnce);
  for (int round = 1; round <= 3; ++round) {
    ASSERT_EQ(start(L"Restart"), 0u);
    ASSERT_TRUE(state_->exited.waitFor(kDeadline)) << "round " << round;
    worker.Stop();
    EXPECT_EQ(state_->runs.load(), round);
  }
  EXPECT_EQ(capture_->count(L"Entering thread loop Restart"), 3u);
}

TEST_F(VxNAThreadTest, StartAfterTheBodyReturnedOnItsOwnRunsItAgain) {
  TestWorker& worker = makeWorker(Body::ReturnsOnFirstRun);
  ASSERT_EQ(start(L"SelfEnding"), 0u);
  ASSERT_TRUE(state_->entered.waitFor(kDeadline));
  ASSERT_TRUE(state_->exited.waitFor(kDeadline));
  ASSERT_TRUE(capture_->waitFor(L"Exited thread loop SelfEnding"));
  EXPECT_TRUE(worker.hasThread());  // ended, but not reaped yet

  // The last steps of a thread after its body (handing back the keep-alive,
  // marking the end) cannot be observed from outside, and a Start that comes
  // before them leaves the ending thread in place. So Start is repeated until the
  // body runs again; the second run lasts until Stop, which makes every Start
  // after it a no-op.
  const auto giveUp = std::chrono::steady_clock::now() + kDeadline;
  bool ranAgain = false;
  while (!ranAgain && std::chrono::steady_clock::now() < giveUp) {
    ASSERT_EQ(start(L"SelfEnding"), 0u);
    ranAgain = state_->entered.waitFor(10ms);
  }
  ASSERT_TRUE(ranAgain);
  EXPECT_TRUE(worker.hasThread());
  worker.Stop();
  EXPECT_EQ(state_->runs.load(), 2);
  EXPECT_EQ(capture_->count(L"Entering thread loop SelfEnding"), 2u);
  EXPECT_EQ(capture_->count(L"Exited thread loop SelfEnding"), 2u);
}

TEST_F(VxNAThreadTest, ReapWaitsForABodyEndingOnItsOwnSoThatStartRunsAFreshOne) {
  TestWorker& worker = makeWorker(Body::ReturnsOnFirstRun);
  ASSERT_EQ(start(L"Reaped"), 0u);
  ASSERT_TRUE(state_->entered.waitFor(kDeadline));
  ASSERT_TRUE(state_->exited.waitFor(kDeadline));
  worker.Reap();
  EXPECT_FALSE(worker.hasThread());
  EXPECT_EQ(state_->terminateCalls.load(), 0);
  // No longer a race with the ending thread: the next Start runs the body again.
  ASSERT_EQ(start(L"Reaped"), 0u);
  ASSERT_TRUE(state_->entered.waitFor(kDeadline));
  EXPECT_EQ(state_->runs.load(), 2);
  EXPECT_TRUE(worker.hasThread());
}

TEST_F(VxNAThreadTest, StopGivesUpOnABodyThatIgnoresTerminateAndLetsItRunOn) {
  TestWorker& worker = makeWorker(Body::IgnoresTerminate);
  ASSERT_EQ(start(L"Stubborn"), 0u);
  ASSERT_TRUE(state_->entered.waitFor(kDeadline));

  worker.Stop();  // waits CVxNAThread::kStopWait, then leaves the thread detached

  EXPECT_FALSE(worker.hasThread());
  EXPECT_EQ(worker.threadId(), 0u);
  EXPECT_EQ(state_->terminateCalls.load(), 1);
  const vxtest::LogEntry warning = capture_->find(L"Wait for Stubborn timed out - terminating thread");
  EXPECT_EQ(warning.severity, static_cast<std::uint32_t>(VX_LOG_WARNING));
  EXPECT_EQ(warning.function, L"CVxNAThread::Stop");
  EXPECT_EQ(warning.file, L"VxNAThread");
  EXPECT_FALSE(capture_->contains(L"Wait for Stubborn thread handle was successful"));
  EXPECT_FALSE(capture_->contains(L"Exited thread loop Stubborn"));

  // The detached body still runs, on a worker kept alive by its own reference.
  state_->release.set();
  ASSERT_TRUE(state_->exited.waitFor(kDeadline));
  EXPECT_TRUE(capture_->waitFor(L"Exited thread loop Stubborn"));
  // The test's reference goes; the thread's keep-alive is the last one, so the
  // worker dies only after the body is done with it (checked in TearDown).
  worker_.reset();
}

}  // namespace
