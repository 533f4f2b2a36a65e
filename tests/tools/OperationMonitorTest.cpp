// The host's side of one operation: the callback object as the component calls it
// (by name, through IDispatch, from its own threads), the wait for the end, and
// when a Ctrl-C turns into a Cancel.
#include "tools/ovrascan/OperationMonitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kernel/IVxAVScanner_Callback.h"
#include "platform/automation/UniqueBstr.h"
#include "platform/automation/InvokeByName.h"
#include "platform/automation/VariantOf.h"
#include "tools/ovrascan/ProgressDisplay.h"

namespace {

using platform::automation::UniqueBstr;
using Kind = OperationMonitor::Outcome::Kind;

VARIANT number(VARTYPE vt, std::uint32_t value) { return platform::automation::variantOfNumber(vt, value); }
VARIANT text(BSTR value) { return platform::automation::variantOfBstr(value); }

// As the component calls a script.
HRESULT callByName(IDispatch* object, const wchar_t* name, const std::vector<VARIANT>& arguments) {
  return platform::automation::invokeByName(*object, name, arguments);
}

HRESULT progress(IDispatch* object, const wchar_t* name, std::uint32_t status, std::uint32_t percent) {
  UniqueBstr bstr{std::wstring_view(name)};
  return callByName(object, L"Progress",
                    {number(VT_UI4, 1), text(bstr.get()), number(VT_UI4, status), number(VT_UI4, percent)});
}

HRESULT complete(IDispatch* object, std::uint32_t result) {
  return callByName(object, L"OnComplete", {number(VT_I4, 1), number(VT_I4, result)});
}

class OperationMonitorTest : public ::testing::Test {
 protected:
  std::shared_ptr<ProgressDisplay> display_ =
      std::make_shared<ProgressDisplay>(ProgressDisplay::Mode::Silent, stdout);
  OperationMonitor monitor_{display_};
  platform::automation::com_ptr<IDispatch> callbacks_ = monitor_.callbackObject();
};

TEST_F(OperationMonitorTest, CompletionEndsTheWait) {
  ASSERT_TRUE(callbacks_);
  EXPECT_FALSE(monitor_.started());
  ASSERT_EQ(complete(callbacks_.get(), AV_OPERATION_RESULT_COMPLETED), S_OK);
  EXPECT_EQ(monitor_.wait().kind, Kind::Completed);
}

TEST_F(OperationMonitorTest, CancelledCompletionIsTold) {
  ASSERT_EQ(complete(callbacks_.get(), AV_OPERATION_RESULT_CANCELLED), S_OK);
  EXPECT_EQ(monitor_.wait().kind, Kind::Cancelled);
}

TEST_F(OperationMonitorTest, ErrorEndsTheWaitWithItsCode) {
  ASSERT_EQ(callByName(callbacks_.get(), L"OnError", {number(VT_UI4, 0x42032B11)}), S_OK);
  const auto outcome = monitor_.wait();
  EXPECT_EQ(outcome.kind, Kind::Failed);
  EXPECT_EQ(outcome.error, 0x42032B11u);
}

TEST_F(OperationMonitorTest, OnlyTheFirstEndCounts) {
  // The object's disconnect notice on its release comes after the completion.
  ASSERT_EQ(complete(callbacks_.get(), AV_OPERATION_RESULT_COMPLETED), S_OK);
  ASSERT_EQ(callByName(callbacks_.get(), L"OnError", {number(VT_UI4, 0x80010108)}), S_OK);
  EXPECT_EQ(monitor_.wait().kind, Kind::Completed);
}

TEST_F(OperationMonitorTest, CountsInfectedAndCleanedObjects) {
  const std::uint32_t statuses[] = {AV_OBJECT_STATUS_OK, AV_OBJECT_STATUS_INFECTED, AV_OBJECT_STATUS_CLEANED,
                                    AV_OBJECT_STATUS_NOT_VERIFIED, AV_OBJECT_STATUS_INFECTED};
  for (std::uint32_t status : statuses) ASSERT_EQ(progress(callbacks_.get(), L"/bin/true", status, 50), S_OK);
  EXPECT_EQ(monitor_.detections(), 3u);
}

TEST_F(OperationMonitorTest, InterruptBeforeTheStartCancelsWhenItStarts) {
  EXPECT_FALSE(monitor_.interrupt());
  EXPECT_TRUE(monitor_.interrupted());
  EXPECT_TRUE(monitor_.started());
  EXPECT_FALSE(monitor_.interrupt());
}

TEST_F(OperationMonitorTest, InterruptWhileRunningCancelsOnce) {
  EXPECT_FALSE(monitor_.started());
  EXPECT_FALSE(monitor_.interrupted());
  EXPECT_TRUE(monitor_.interrupt());
  EXPECT_FALSE(monitor_.interrupt());
  EXPECT_TRUE(monitor_.interrupted());
}

TEST_F(OperationMonitorTest, InterruptAfterTheEndSendsNothingAndLeavesTheOperationComplete) {
  EXPECT_FALSE(monitor_.started());
  ASSERT_EQ(complete(callbacks_.get(), AV_OPERATION_RESULT_COMPLETED), S_OK);
  EXPECT_FALSE(monitor_.interrupt());
  EXPECT_FALSE(monitor_.interrupted());
  EXPECT_EQ(monitor_.wait().kind, Kind::Completed);
}

TEST_F(OperationMonitorTest, OperationThatEndedBeforeItsStartWasToldNeedsNoCancel) {
  // A short operation may complete on the component's thread before the call
  // that started it returns.
  EXPECT_FALSE(monitor_.interrupt());
  ASSERT_EQ(complete(callbacks_.get(), AV_OPERATION_RESULT_COMPLETED), S_OK);
  EXPECT_FALSE(monitor_.started());
}

TEST_F(OperationMonitorTest, EventsFromOtherThreadsWhileTheHostWaitsAndInterrupts) {
  EXPECT_FALSE(monitor_.started());
  constexpr int kObjects = 200;
  std::vector<std::thread> workers;
  for (int t = 0; t < 2; ++t) {
    workers.emplace_back([&] {
      for (int i = 0; i < kObjects; ++i) progress(callbacks_.get(), L"/lib/object.so", AV_OBJECT_STATUS_INFECTED, 10);
    });
  }
  std::thread interrupter([&] { monitor_.interrupt(); });
  // The operation ends after the interrupt, as a cancelled one does: an interrupt
  // that came after the end would rightly change nothing.
  std::thread finisher([&] {
    for (auto& worker : workers) worker.join();
    interrupter.join();
    complete(callbacks_.get(), AV_OPERATION_RESULT_CANCELLED);
  });
  EXPECT_EQ(monitor_.wait().kind, Kind::Cancelled);
  finisher.join();
  EXPECT_EQ(monitor_.detections(), 2u * kObjects);
  EXPECT_TRUE(monitor_.interrupted());
  EXPECT_FALSE(monitor_.interrupt());
}

TEST(OperationMonitorLifetimeTest, CallbackObjectOutlivesTheMonitor) {
  platform::automation::com_ptr<IDispatch> callbacks;
  {
    OperationMonitor monitor(std::make_shared<ProgressDisplay>(ProgressDisplay::Mode::Silent, stdout));
    callbacks = monitor.callbackObject();
  }
  EXPECT_EQ(progress(callbacks.get(), L"/bin/true", AV_OBJECT_STATUS_OK, 1), S_OK);
  EXPECT_EQ(callByName(callbacks.get(), L"OnError", {number(VT_UI4, 0x80010108)}), S_OK);
}

}  // namespace
