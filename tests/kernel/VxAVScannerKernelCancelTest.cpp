// Cancelling and stopping a kernel while its threads work.
#include <random>
#include <thread>

#include "tests/kernel/KernelFixture.h"

namespace vxtest {
namespace {

std::wstring acksFrom(int count) {
  return L"CVxAVScannerKernel::onComplete - received Cancelled status from " +
         std::to_wstring(count) + L" scan threads";
}

TEST_F(KernelTest, CancelWhileEveryWorkerWaits) {
  init();
  setSources({});
  holdExpansion();
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(waitExpansionHeld());
  // Idle workers acknowledge on the calling thread, before Cancel returns; the
  // kernel thread, held in the expansion, has not seen any of it yet.
  ASSERT_TRUE(kernel->Cancel().ok);
  EXPECT_EQ(capture->count(acksFrom(1)), 0u);
  releaseExpansion();
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals(), std::vector{completed(AV_OPERATION_RESULT_CANCELLED)});
  for (int acks = 1; acks <= 4; ++acks) EXPECT_EQ(capture->count(acksFrom(acks)), 1u);
  EXPECT_TRUE(capture->contains(L"CVxAVScannerKernel::onComplete - Number of files scanned = 0",
                                VX_LOG_WARNING));
}

TEST_F(KernelTest, CancelWaitsForTheWorkerInsideALongScan) {
  init();
  setSources({L"/big"});
  doubles.scan->set(L"/big", {.block = true});
  doubles.scan->cancelReleasesBlockedScan = false;  // an engine slow to notice
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(doubles.scan->waitInFlight(1));

  ASSERT_TRUE(kernel->Cancel().ok);
  ASSERT_TRUE(capture->waitFor(acksFrom(3)));
  EXPECT_EQ(capture->count(acksFrom(4)), 0u);
  EXPECT_TRUE(client->terminals().empty());

  doubles.scan->release();
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals(), std::vector{completed(AV_OPERATION_RESULT_CANCELLED)});
  EXPECT_TRUE(client->progressCalls().empty());

  // All four workers serve the next operation, the one that was stuck included.
  doubles.scan->rearm();
  doubles.scan->cancelReleasesBlockedScan = true;
  const auto names = makeSources(4);
  for (const auto& name : names) doubles.scan->set(name, {.block = true});
  ASSERT_TRUE(kernel->Scan(false).ok);
  EXPECT_TRUE(doubles.scan->waitInFlight(4));
  doubles.scan->release();
  ASSERT_TRUE(client->waitTerminals(2));
  EXPECT_EQ(client->terminals()[1], completed(AV_OPERATION_RESULT_COMPLETED));
  EXPECT_EQ(client->progressCalls().size(), 4u);
}

TEST_F(KernelTest, CompletionQueuedBeforeTheCancelEndsItAsCancelled) {
  init();
  setSources({});
  holdExpansion();
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(waitExpansionHeld());
  // The pass's completion is already in the inbox when the cancel comes.
  kernelView()->onComplete(AV_OPERATION_RESULT_COMPLETED);
  ASSERT_TRUE(kernel->Cancel().ok);
  releaseExpansion();

  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals(), std::vector{completed(AV_OPERATION_RESULT_CANCELLED)});
  EXPECT_TRUE(capture->contains(
      L"CVxAVScannerKernel::onComplete - received Completed status after a cancel. Forwarding a "
      L"cancel complete event",
      VX_LOG_NORMAL));
  // The acknowledgements find the activity over.
  EXPECT_TRUE(capture->waitFor(
      L"CVxAVScannerKernel::onComplete - completion event received with no known activity. "
      L"Verify flow.",
      4));
  EXPECT_EQ(client->terminals().size(), 1u);
}

TEST_F(KernelTest, DeInitDuringAScanStopsEveryWorker) {
  init();
  const auto names = makeSources(6);
  for (const auto& name : names) doubles.scan->set(name, {.block = true});
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(doubles.scan->waitInFlight(4));

  ASSERT_TRUE(kernel->DeInit(true).ok);
  EXPECT_EQ(capture->count(L"CVxAVScanThread::ThreadProc - Abort triggered by Event",
                           VX_LOG_NORMAL),
            4u);
  EXPECT_EQ(capture->count(L"CVxAVScanThread::ThreadProc terminated normally", VX_LOG_NORMAL), 4u);
  EXPECT_EQ(capture->find(L"CVxAVScanThread::ThreadProc terminated normally").file,
            L"VxAVScanThread");
  // Stopping is not a failure of the scan.
  EXPECT_TRUE(client->terminals().empty());

  // The kernel starts afresh.
  doubles.scan->release();
  client->clear();
  init();
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals(), std::vector{completed(AV_OPERATION_RESULT_COMPLETED)});
}

// A cancel in either pass leaves nothing of that pass behind: the next activity
// runs only what it asked for and reports its own progress.
TEST_F(KernelTest, CancelInEachPassThenCleanObjectCleans) {
  struct Case {
    const char* pass;
    ObjectBehaviour big;
  };
  const std::vector<Case> cases = {
      {"profile pass", {.size = 500, .block = true}},
      {"scan pass", {.size = 500, .blockWhenScanning = true}},
  };
  init();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pass);
    client->clear();
    doubles.scan->rearm();
    setSources({L"/big"});
    doubles.scan->set(L"/big", c.big);
    ASSERT_TRUE(kernel->Scan(false).ok);
    ASSERT_TRUE(doubles.scan->waitBlocked(1));
    ASSERT_TRUE(kernel->Cancel().ok);
    ASSERT_TRUE(client->waitTerminals(1));
    EXPECT_EQ(client->terminals()[0], completed(AV_OPERATION_RESULT_CANCELLED));

    const std::size_t scansBefore = doubles.scan->scannedNames().size();
    const std::size_t progressBefore = client->progressCalls().size();
    doubles.scan->set(L"/tmp/eicar.com", {.size = 68, .infected = true, .repaired = true});
    ASSERT_TRUE(kernel->CleanObject(L"/tmp/eicar.com").ok);
    ASSERT_TRUE(client->waitTerminals(2));
    EXPECT_EQ(client->terminals()[1], completed(AV_OPERATION_RESULT_COMPLETED));
    const auto progress = client->progressCalls();
    ASSERT_EQ(progress.size(), progressBefore + 1);
    EXPECT_EQ(progress.back().name, L"/tmp/eicar.com");
    EXPECT_EQ(progress.back().status, AV_OBJECT_STATUS_CLEANED);
    EXPECT_EQ(client->progressAfterTerminal(1), 0u);
    // The clean scanned its one object once, and nothing ran after it.
    EXPECT_EQ(doubles.scan->scannedNames().size(), scansBefore + 1);
    const auto report = kernel->GetReport(false);
    ASSERT_TRUE(report.ok);
    EXPECT_NE(report.value.find(L"/tmp/eicar.com:1:1;"), std::wstring::npos) << report.value;
  }
}

// An acknowledgement that comes after its activity ended belongs to that
// activity: the next cancel counts only its own workers.
TEST_F(KernelTest, LateAcknowledgementCountsForItsOwnActivityOnly) {
  init();
  setSources({L"/big"});
  doubles.scan->set(L"/big", {.block = true});
  doubles.scan->cancelReleasesBlockedScan = false;  // the worker stays inside the engine
  holdExpansion();
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(doubles.scan->waitBlocked(1));
  ASSERT_TRUE(waitExpansionHeld());
  // The first activity ends early: its completion is queued before the cancel.
  kernelView()->onComplete(AV_OPERATION_RESULT_COMPLETED);
  ASSERT_TRUE(kernel->Cancel().ok);
  releaseExpansion();
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals()[0], completed(AV_OPERATION_RESULT_CANCELLED));

  // The worker still scans for the first activity; cancelling the second needs
  // nothing of it.
  setSources({});
  holdExpansion();
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(waitExpansionHeld());
  ASSERT_TRUE(kernel->Cancel().ok);
  releaseExpansion();
  ASSERT_TRUE(client->waitTerminals(2));
  EXPECT_EQ(client->terminals()[1], completed(AV_OPERATION_RESULT_CANCELLED));

  // Its late acknowledgement finds no activity of its own and ends nothing.
  doubles.scan->release();
  ASSERT_TRUE(capture->waitFor(
      L"CVxAVScannerKernel::onComplete - completion event received with no known activity. "
      L"Verify flow.",
      4));
  makeSources(3);
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(3));
  EXPECT_EQ(client->terminals()[2], completed(AV_OPERATION_RESULT_COMPLETED));
  EXPECT_EQ(client->terminals().size(), 3u);
}

// A progress call still running in the client when the activity is cancelled
// reaches the client before the cancelled completion does.
TEST_F(KernelTest, ProgressInTheClientPrecedesTheCancelledCompletion) {
  init();
  makeSources(2);
  client->holdProgressOf(L"/obj/00");
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitProgressHeld());
  ASSERT_TRUE(kernel->Cancel().ok);
  // The kernel thread is finishing the activity; the completion must wait.
  ASSERT_TRUE(capture->waitFor(L"CVxAVScannerKernel::onComplete - entering Idle activity state"));
  client->releaseProgress();
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals()[0], completed(AV_OPERATION_RESULT_CANCELLED));
  EXPECT_EQ(client->progressAfterTerminal(0), 0u);
}

// Scans, cleans, cancels and restarts at random moments: every activity ends
// with exactly one completion or error, nothing hangs, nothing races.
void runRandomInterleavings(IVxAVScannerKernel& kernel, KernelDoubles& doubles,
                            const std::shared_ptr<RecordingCallback>& client,
                            std::uint32_t seed, int runs) {
  ASSERT_TRUE(kernel.Init(client, kConfigText).ok);
  std::mt19937 random(seed);
  std::size_t activities = 0;
  std::size_t progressSoFar = 0;
  for (int run = 0; run < runs; ++run) {
    SCOPED_TRACE(run);
    // Every progress of the last activity came before its completion.
    ASSERT_EQ(client->progressCalls().size(), progressSoFar);
    std::vector<std::wstring> names;
    for (std::size_t i = random() % 12; i > 0; --i) names.push_back(L"/obj/" + std::to_wstring(i));
    {
      std::lock_guard guard(doubles.config->lock);
      doubles.config->sources = names;
    }
    const int action = static_cast<int>(random() % 5);
    VxNAResult<> started = action == 4 ? kernel.Clean() : kernel.Scan(action == 3);
    ASSERT_TRUE(started.ok) << started.error;
    ++activities;
    for (unsigned spins = random() % 200; spins > 0; --spins) std::this_thread::yield();
    switch (action) {
      case 0:
      case 4:
        kernel.Cancel();  // may find the activity already over
        break;
      case 1:
        ASSERT_TRUE(kernel.DeInit(true).ok);
        // A stopped activity ends without a callback, unless it had completed.
        activities = client->terminals().size();
        ASSERT_TRUE(kernel.Init(client, kConfigText).ok);
        break;
      default:
        break;
    }
    ASSERT_TRUE(client->waitTerminals(activities));
    ASSERT_EQ(client->terminals().size(), activities);
    for (const auto& terminal : client->terminals()) EXPECT_FALSE(terminal.error);
    progressSoFar = client->progressCalls().size();
    // A stopped activity has no completion of its own to come after.
    if (action != 1) {
      EXPECT_EQ(client->progressAfterTerminal(activities - 1), 0u);
    }
  }
  ASSERT_TRUE(kernel.DeInit(true).ok);
}

TEST_F(KernelTest, RandomInterleavingsOfRequests) {
  runRandomInterleavings(*kernel, doubles, client, 20261210, 200);
}

TEST(KernelConcurrencyTest, RandomInterleavingsOnThreeKernelsAtOnce) {
  LogCapture capture;
  struct Lane {
    KernelDoubles doubles;
    std::shared_ptr<RecordingCallback> client = std::make_shared<RecordingCallback>();
    std::shared_ptr<IVxAVScannerKernel> kernel;
  };
  std::vector<std::unique_ptr<Lane>> lanes;
  for (int i = 0; i < 3; ++i) {
    auto lane = std::make_unique<Lane>();
    lane->kernel = CVxAVScannerKernel::GetInstance(lane->doubles.factories()).value;
    lanes.push_back(std::move(lane));
  }
  std::vector<std::thread> drivers;
  for (std::size_t i = 0; i < lanes.size(); ++i) {
    drivers.emplace_back([&, i] {
      runRandomInterleavings(*lanes[i]->kernel, lanes[i]->doubles, lanes[i]->client,
                             static_cast<std::uint32_t>(7 + i), 200);
    });
  }
  for (auto& driver : drivers) driver.join();
}

}  // namespace
}  // namespace vxtest
