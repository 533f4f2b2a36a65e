#include "engine/VxAVEngineStartup.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "foundation/VxErrorCodes.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/CaptureLog.h"

namespace {

using vxtest::bytesOf;
using vxtest::findParameter;
using vxtest::parameterCodes;

class EngineStartupTest : public vxtest::TestEngineFixture {
 protected:
  // What the engine received for product info: {id, locale}, each truncated.
  std::vector<std::uint8_t> productRecord() {
    TestEngineParameter p{};
    EXPECT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 565, p));
    return bytesOf(p);
  }
  std::vector<std::string> dataSetPaths() {
    TestEngineParameter p{};
    EXPECT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 110, p));
    return std::vector<std::string>(p.strings, p.strings + p.stringCount);
  }
  std::string engineFolder() {
    TestEngineParameter p{};
    EXPECT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 108, p));
    return p.stringCount == 1 ? p.strings[0] : "";
  }

  vxtest::ScratchFolder folder_;
};

TEST_F(EngineStartupTest, WithoutSettingsFileTheEngineStartsWithDefaults) {
  vxtest::LogCapture capture;
  const VxNAResult<std::shared_ptr<IVxAVEngine>> engine = getAVEngine(folder_.path());
  ASSERT_TRUE(engine.ok) << engine.error;
  ASSERT_TRUE(engine.value);
  EXPECT_EQ(parameterCodes(TEST_ENGINE_INITIALISE, 0),
            (std::vector<std::uint16_t>{108, 110, 107, 100, 101, 565}));
  EXPECT_EQ(engineFolder(), folder_.path());
  EXPECT_EQ(productRecord(), (std::vector<std::uint8_t>{10, 0, 0, 0, 0x09, 0x04, 0, 0, 0, 0}));
  const std::string base = folder_.path() + "/";
  EXPECT_EQ(dataSetPaths(), (std::vector<std::string>{base, base, base}));

  for (const wchar_t* text : {L"CVxAVScannerKernel::getAVEngine - Product ID: 0",
                              L"CVxAVScannerKernel::getAVEngine - Product Locale: 1033"}) {
    const vxtest::LogEntry entry = capture->find(text);
    EXPECT_EQ(entry.message, text);
    EXPECT_EQ(entry.severity, VX_LOG_NORMAL);
    EXPECT_EQ(entry.file, L"VxAVScannerKernel");
    EXPECT_EQ(entry.function, L"CVxAVScannerKernel::getAVEngine");
  }
  // Kernel lines come first, then the configuration's own.
  const std::vector<vxtest::LogEntry> entries = capture->entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[2].message, L"CVxAVEngineConfig::Initialize - Product Id: 0");
  EXPECT_EQ(entries[3].message, L"CVxAVEngineConfig::Initialize - Product Locale: 1033");
}

TEST_F(EngineStartupTest, SettingsFileValuesReachTheEngine) {
  folder_.write("AVScanner.ini",
                "[product]\nproduct_id = 70001\nproduct_locale=1031 (German)\n"
                "context_ids=1,2\n[coredatset]\nav_names=names.dat\nav_scan=rules.yar\n"
                "av_clean=clean.dat\n");
  vxtest::LogCapture capture;
  ASSERT_TRUE(getAVEngine(folder_.path()).ok);
  // 70001 = 0x11171 travels as 0x1171; 1031 = 0x0407.
  EXPECT_EQ(productRecord(), (std::vector<std::uint8_t>{10, 0, 0x71, 0x11, 0x07, 0x04, 0, 0, 0, 0}));
  EXPECT_EQ(dataSetPaths(), (std::vector<std::string>{folder_.file("names.dat"),
                                                      folder_.file("rules.yar"),
                                                      folder_.file("clean.dat")}));
  EXPECT_TRUE(capture->contains(L"CVxAVScannerKernel::getAVEngine - Product ID: 70001"));
  EXPECT_TRUE(capture->contains(L"CVxAVScannerKernel::getAVEngine - Product Locale: 1031"));
}

struct IdLengthCase {
  std::size_t length;
  std::uint8_t sentId;
};

void PrintTo(const IdLengthCase& c, std::ostream* os) { *os << c.length << " characters"; }

class EngineStartupIdLengthTest : public EngineStartupTest,
                                  public ::testing::WithParamInterface<IdLengthCase> {};

TEST_P(EngineStartupIdLengthTest, AnOverlongProductIdCountsAsMissing) {
  // "5" followed by letters reads as 5 whenever the value counts.
  folder_.write("AVScanner.ini",
                "[product]\nproduct_id=5" + std::string(GetParam().length - 1, 'x') + "\n");
  ASSERT_TRUE(getAVEngine(folder_.path()).ok);
  EXPECT_EQ(productRecord()[2], GetParam().sentId);
}

INSTANTIATE_TEST_SUITE_P(Limits, EngineStartupIdLengthTest,
                         ::testing::Values(IdLengthCase{1021, 5}, IdLengthCase{1022, 0},
                                           IdLengthCase{3000, 0}));

TEST_F(EngineStartupTest, AFailedStartIsReturnedWithTheMappedStatus) {
  TestEngineSetStatus(TEST_ENGINE_INITIALISE, 0x20);
  const VxNAResult<std::shared_ptr<IVxAVEngine>> engine = getAVEngine(folder_.path());
  EXPECT_FALSE(engine.ok);
  EXPECT_EQ(engine.error, 0x42032F30u);
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_CLOSE), 0u);
}

TEST_F(EngineStartupTest, WithoutHostFolderNothingStarts) {
  EXPECT_EQ(getAVEngine(std::string()).error, ERROR_FUNCTION_FAILED);
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_INITIALISE), 0u);
}

TEST_F(EngineStartupTest, TheEngineStaysOpenWhileTheReferenceIsHeld) {
  TestEngineSetInitialisation(0x77, 0, 0, 0, nullptr, 0, 0);
  VxNAResult<std::shared_ptr<IVxAVEngine>> engine = getAVEngine(folder_.path());
  ASSERT_TRUE(engine.ok);
  const VxNAResult<VxAVEngineHandle> handle = engine.value->getHandle();
  ASSERT_TRUE(handle.ok);
  EXPECT_EQ(handle.value, 0x77u);
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_CLOSE), 0u);
  engine.value.reset();
  ASSERT_EQ(TestEngineCallCount(TEST_ENGINE_CLOSE), 1u);
  EXPECT_EQ(TestEngineCallHandle(TEST_ENGINE_CLOSE, 0), 0x77u);
}

TEST_F(EngineStartupTest, WithoutArgumentTheSettingsLieBesideTheHostExecutable) {
  ASSERT_TRUE(getAVEngine().ok);
  const std::string hostFolder = std::filesystem::canonical("/proc/self/exe").parent_path().string();
  EXPECT_EQ(engineFolder(), hostFolder);
  EXPECT_EQ(dataSetPaths()[0].substr(0, hostFolder.size() + 1), hostFolder + "/");
}

}  // namespace
