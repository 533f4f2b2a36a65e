// The scriptable test engine is what the engine adapter's tests stand on, so its
// scan behaviour is checked here directly through the entry points.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/engine/EngineTestSupport.h"

namespace {

struct Received {
  std::uint64_t context;
  std::uint16_t message;
  std::uint64_t argument1;
  std::uintptr_t argument2;
};

std::mutex gReceivedLock;
std::vector<Received> gReceived;

// Declines message 1031, goes on for every other.
std::uint32_t recordingCallback(const AV_CALLBACKCONTEXT* context, std::uint16_t message,
                                std::uint64_t argument1, std::uintptr_t argument2) {
  std::lock_guard guard(gReceivedLock);
  gReceived.push_back({context != nullptr ? context->value : 0, message, argument1, argument2});
  return message == AVM_QUERY_SCAN ? AV_CALLBACK_DECLINE : AV_CALLBACK_CONTINUE;
}

class TestEngineScanTest : public vxtest::TestEngineFixture {
 protected:
  void SetUp() override {
    vxtest::TestEngineFixture::SetUp();
    std::lock_guard guard(gReceivedLock);
    gReceived.clear();
  }

  std::uint16_t scan(std::uint64_t handle) {
    AV_SINGLEPARAMETER records[] = {
        {16, AV_PARAM_CALLBACK, 8, AV_PTR_TO_U64(&recordingCallback)},
        {16, AV_PARAM_CALLBACK_CONTEXT, 8, 0xC0FFEE},
        {16, AV_PARAM_SWITCH_300, 0, 0},
    };
    const AV_PARAMETERS block{12, 3, AV_PTR_TO_U64(records)};
    return AVScanObject(handle, &block, 0);
  }
};

const char kName[] = "/tmp/object";
const TestEngineCallbackStep kSteps[] = {
    {AVM_OBJECT_NAME, 0, reinterpret_cast<std::uintptr_t>(kName)},
    {AVM_QUERY_SCAN, 0, 0},
    {AVM_OBJECT_DONE, 0, 0},
};

TEST_F(TestEngineScanTest, SendsTheScriptThroughTheCallersCallbackAndContext) {
  TestEngineSetStatus(TEST_ENGINE_SCAN_OBJECT, 0x44);
  TestEngineSetScript(TEST_ENGINE_SCAN_OBJECT, kSteps, 3, 0);
  EXPECT_EQ(scan(99), 0x44);
  std::lock_guard guard(gReceivedLock);
  ASSERT_EQ(gReceived.size(), 3u);
  EXPECT_EQ(gReceived[0].context, 0xC0FFEEu);
  EXPECT_EQ(gReceived[0].message, AVM_OBJECT_NAME);
  EXPECT_EQ(gReceived[0].argument2, reinterpret_cast<std::uintptr_t>(kName));
  EXPECT_EQ(gReceived[2].message, AVM_OBJECT_DONE);
  EXPECT_EQ(TestEngineCallHandle(TEST_ENGINE_SCAN_OBJECT, 0), 99u);
  EXPECT_EQ(vxtest::parameterCodes(TEST_ENGINE_SCAN_OBJECT, 0),
            (std::vector<std::uint16_t>{100, 101, 300}));
  ASSERT_EQ(TestEngineAnswerCount(TEST_ENGINE_SCAN_OBJECT, 0), 3u);
  EXPECT_EQ(TestEngineAnswer(TEST_ENGINE_SCAN_OBJECT, 0, 1), AV_CALLBACK_DECLINE);
}

TEST_F(TestEngineScanTest, AHonouredDeclineEndsTheScript) {
  TestEngineSetScript(TEST_ENGINE_SCAN_OBJECT, kSteps, 3, 1);
  EXPECT_EQ(scan(1), 0);
  std::lock_guard guard(gReceivedLock);
  ASSERT_EQ(gReceived.size(), 2u);
  EXPECT_EQ(gReceived[1].message, AVM_QUERY_SCAN);
}

TEST_F(TestEngineScanTest, HeldScansWaitUntilReleased) {
  TestEngineSetScript(TEST_ENGINE_SCAN_OBJECT, kSteps, 3, 0);
  TestEngineHoldScansAtStep(1);
  std::atomic<int> finished{0};
  std::vector<std::thread> scans;
  for (int i = 0; i < 2; ++i) {
    scans.emplace_back([&] {
      scan(7);
      ++finished;
    });
  }
  ASSERT_EQ(TestEngineWaitForHeldScans(2, 30000), 1);
  EXPECT_EQ(finished.load(), 0);
  {
    std::lock_guard guard(gReceivedLock);
    EXPECT_EQ(gReceived.size(), 2u);  // each scan sent only the step before the hold
  }
  TestEngineReleaseScans();
  for (std::thread& thread : scans) thread.join();
  EXPECT_EQ(finished.load(), 2);
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_SCAN_OBJECT), 2u);
}

}  // namespace
