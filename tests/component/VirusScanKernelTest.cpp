// The virus-scan object over a real scanner kernel (with scripted collaborators):
// whole operations from the script's calls to its callbacks.
#include <thread>

#include "kernel/VxAVScannerKernel.h"
#include "tests/component/VirusScanFixture.h"
#include "tests/support/KernelDoubles.h"

namespace vxtest {
namespace {

class VirusScanOnKernelTest : public VirusScanTest {
 protected:
  CoCVxVirusScan::KernelSource kernelSource() override {
    return [this] {
      ++kernelsMade;
      return CVxAVScannerKernel::GetInstance(doubles.factories());
    };
  }
  void TearDown() override {
    doubles.scan->release();
    doubles.config->releaseExpansion();
    VirusScanTest::TearDown();
  }

  KernelDoubles doubles;
};

TEST_F(VirusScanOnKernelTest, ScanReportsEveryObjectThenCompletes) {
  doubles.config->setSources({L"/obj/a", L"/obj/b", L"/obj/c"});
  ObjectBehaviour infected;
  infected.infected = true;
  doubles.scan->set(L"/obj/b", infected);
  ASSERT_EQ(registerScript(script), 0u);
  ASSERT_EQ(setConfig(L"<scanconfig/>"), 0u);
  ASSERT_EQ(scan(1), 0u);
  ASSERT_TRUE(script.waitFor(L"OnComplete"));
  EXPECT_EQ(script.calls(L"OnComplete")[0].arguments, (std::vector<ScriptArgument>{i4(1), i4(0)}));

  const auto progress = script.calls(L"Progress");
  ASSERT_EQ(progress.size(), 3u);
  std::uint32_t lastPercent = 0;
  for (const auto& call : progress) {
    ASSERT_EQ(call.arguments.size(), 4u);
    EXPECT_EQ(call.arguments[0], ui4(1));
    EXPECT_EQ(call.arguments[2], ui4(call.arguments[1].text == L"/obj/b" ? AV_OBJECT_STATUS_INFECTED
                                                                          : AV_OBJECT_STATUS_OK));
    EXPECT_GE(call.arguments[3].number, lastPercent);
    lastPercent = call.arguments[3].number;
  }
  EXPECT_EQ(lastPercent, 100u);

  const Outcome detections = report(2);
  ASSERT_EQ(detections.hr, S_OK);
  EXPECT_NE(detections.text.find(L"/obj/b"), std::wstring::npos);

  EXPECT_EQ(uninitialize(VARIANT_TRUE), 0u);
  EXPECT_EQ(kernelsMade, 1);
}

TEST_F(VirusScanOnKernelTest, CancelledScanCompletesAsCancelled) {
  doubles.config->setSources({L"/obj/a"});
  ASSERT_EQ(registerScript(script), 0u);
  ASSERT_EQ(setConfig(L"<scanconfig/>"), 0u);
  doubles.config->holdNextExpansion();
  ASSERT_EQ(scan(2), 0u);
  ASSERT_TRUE(doubles.config->waitExpansionHeld());

  EXPECT_EQ(status(L"Cancel"), 0u);
  // A second cancel while the first is under way is refused by the kernel.
  EXPECT_EQ(status(L"Cancel"), ERROR_BUSY);
  doubles.config->releaseExpansion();
  ASSERT_TRUE(script.waitFor(L"OnComplete"));
  EXPECT_EQ(script.calls(L"OnComplete")[0].arguments, (std::vector<ScriptArgument>{i4(3), i4(1)}));

  // Nothing runs now: the kernel has nothing to cancel.
  EXPECT_EQ(status(L"Cancel"), VX_E_NOTHING_TO_CANCEL);
  // And the object can scan again.
  ASSERT_EQ(scan(1), 0u);
  ASSERT_TRUE(script.waitFor(L"OnComplete", 2));
  EXPECT_EQ(script.calls(L"OnComplete")[1].arguments, (std::vector<ScriptArgument>{i4(1), i4(0)}));
}

TEST_F(VirusScanOnKernelTest, ScanAfterCancelledAndUninitialisedScanReportsProgress) {
  doubles.config->setSources({L"/obj/a", L"/obj/b"});
  ASSERT_EQ(registerScript(script), 0u);
  ASSERT_EQ(setConfig(L"<scanconfig/>"), 0u);
  doubles.config->holdNextExpansion();
  ASSERT_EQ(scan(1), 0u);
  ASSERT_TRUE(doubles.config->waitExpansionHeld());
  ASSERT_EQ(status(L"Cancel"), 0u);

  // The kernel thread stays inside the expansion until the scan threads are
  // stopped, so the stop overtakes the cancel's completion: the object hears no
  // end of the cancelled operation.
  std::thread releaser([this] {
    capture->waitFor(L"Wait for CVxAVScanThread thread handle was successful", 4);
    doubles.config->releaseExpansion();
  });
  EXPECT_EQ(uninitialize(), 0u);
  releaser.join();
  const std::size_t completions = script.count(L"OnComplete");

  ASSERT_EQ(setConfig(L"<scanconfig/>"), 0u);
  ASSERT_EQ(scan(1), 0u);
  ASSERT_TRUE(script.waitFor(L"OnComplete", completions + 1));
  EXPECT_EQ(script.calls(L"OnComplete").back().arguments, (std::vector<ScriptArgument>{i4(1), i4(0)}));
  EXPECT_EQ(script.count(L"Progress"), 2u);
  EXPECT_FALSE(capture->contains(L"CoCVxVirusScan::Progress - operation cancelled. No progress callback expected"));
  EXPECT_EQ(kernelsMade, 2);
}

TEST_F(VirusScanOnKernelTest, RejectedConfigurationLeavesTheObjectUninitialised) {
  doubles.config->setConfigurationError = VX_E_TYPE_NOT_RECOGNIZED;
  ASSERT_EQ(setConfig(L"<scanconfig/>"), 0u);
  EXPECT_EQ(scan(1), VX_E_TYPE_NOT_RECOGNIZED);
  EXPECT_EQ(setConfig(L"<scanconfig>again</scanconfig>"), 0u);
  doubles.config->setConfigurationError = 0;
  EXPECT_EQ(scan(1), 0u);
  EXPECT_EQ(kernelsMade, 2);
}

}  // namespace
}  // namespace vxtest
