#include "engine/VxAVEngineConfig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "foundation/VxErrorCodes.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/CaptureLog.h"

// Reaches the request of arbitrary codes, which the public setters cannot produce
// in numbers large enough to meet the ten-code limit.
struct CVxAVEngineConfigTestAccess {
  static VxNAResult<> request(CVxAVEngineConfig& config, std::uint16_t code) {
    return config.requestParameter(code);
  }
};

namespace {

using vxtest::bytesOf;
using vxtest::findParameter;
using vxtest::parameterCodes;

std::shared_ptr<CVxAVEngineConfig> newConfig() {
  VxNAResult<std::shared_ptr<CVxAVEngineConfig>> config = CVxAVEngineConfig::create();
  EXPECT_TRUE(config.ok);
  return config.value;
}

class EngineConfigTest : public vxtest::TestEngineFixture {};

// ---------------------------------------------------------------------------
// The start-up parameter block

TEST_F(EngineConfigTest, InitializeSendsEveryRequestedParameterInTheFixedOrder) {
  std::shared_ptr<CVxAVEngineConfig> config = newConfig();
  // Set in an order other than the block's.
  ASSERT_TRUE(config->setVersionQuery(true).ok);
  ASSERT_TRUE(config->setProductInfo(0x12345, 0x10409).ok);
  ASSERT_TRUE(config->setDataSetFiles("/d/names.dat", "/d/scan.yar", "/d/clean.dat").ok);
  ASSERT_TRUE(config->setEngineFolder("/opt/vx").ok);
  ASSERT_TRUE(config->Initialize().ok);

  ASSERT_EQ(TestEngineCallCount(TEST_ENGINE_INITIALISE), 1u);
  EXPECT_EQ(TestEngineInitialisationSize(0), 36u);
  std::uint16_t size = 0;
  std::uint16_t count = 0;
  ASSERT_EQ(TestEngineBlockHeader(TEST_ENGINE_INITIALISE, 0, &size, &count), 1);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(parameterCodes(TEST_ENGINE_INITIALISE, 0),
            (std::vector<std::uint16_t>{108, 110, 107, 100, 101, 565, 117}));

  TestEngineParameter p{};
  for (std::uint32_t i = 0; TestEngineGetParameter(TEST_ENGINE_INITIALISE, 0, i, &p) != 0; ++i) {
    EXPECT_EQ(p.record.size, 16u) << "parameter " << p.record.code;
  }
  ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 108, p));
  EXPECT_EQ(p.record.length, 8u);
  EXPECT_STREQ(p.strings[0], "/opt/vx");

  ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 110, p));
  EXPECT_EQ(p.record.length, 16u);
  const std::vector<std::uint8_t> files = bytesOf(p);
  ASSERT_EQ(files.size(), 16u);
  EXPECT_EQ(std::vector<std::uint8_t>(files.begin(), files.begin() + 8),
            (std::vector<std::uint8_t>{16, 0, 0, 0, 3, 0, 0, 0}));
  ASSERT_EQ(p.stringCount, 3u);
  EXPECT_STREQ(p.strings[0], "/d/names.dat");
  EXPECT_STREQ(p.strings[1], "/d/scan.yar");
  EXPECT_STREQ(p.strings[2], "/d/clean.dat");

  ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 107, p));
  EXPECT_EQ(p.record.length, 8u);
  EXPECT_EQ(p.record.value, 0x157C0002u);

  ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 100, p));
  EXPECT_EQ(p.record.length, 8u);
  EXPECT_EQ(p.record.value, AV_PTR_TO_U64(&CVxAVEngineConfig::Callback));
  ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 101, p));
  EXPECT_EQ(p.record.length, 8u);
  EXPECT_EQ(p.record.value, AV_PTR_TO_U64(config.get()));

  // Id and locale travel truncated to 16 bits.
  ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 565, p));
  EXPECT_EQ(p.record.length, 8u);
  EXPECT_EQ(bytesOf(p), (std::vector<std::uint8_t>{10, 0, 0x45, 0x23, 0x09, 0x04, 0, 0, 0, 0}));

  ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 117, p));
  EXPECT_EQ(p.record.length, 0u);
  EXPECT_EQ(p.record.value, 0u);
}

TEST_F(EngineConfigTest, UnconfiguredInitializeSendsOnlyTheInterfaceVersionAndCallback) {
  std::shared_ptr<CVxAVEngineConfig> config = newConfig();
  ASSERT_TRUE(config->Initialize().ok);
  EXPECT_EQ(parameterCodes(TEST_ENGINE_INITIALISE, 0), (std::vector<std::uint16_t>{107, 100, 101}));
}

TEST_F(EngineConfigTest, EmptyFolderAndPathsAreSentAsEmptyStrings) {
  std::shared_ptr<CVxAVEngineConfig> config = newConfig();
  ASSERT_TRUE(config->setEngineFolder("").ok);
  ASSERT_TRUE(config->setDataSetFiles("", "", "").ok);
  ASSERT_TRUE(config->Initialize().ok);
  TestEngineParameter p{};
  ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 108, p));
  EXPECT_EQ(p.record.length, 1u);
  EXPECT_STREQ(p.strings[0], "");
  ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 110, p));
  ASSERT_EQ(p.stringCount, 3u);
  EXPECT_STREQ(p.strings[2], "");
}

TEST_F(EngineConfigTest, VersionQueryIsSentOnlyWhenAskedFor) {
  for (const bool query : {false, true}) {
    SCOPED_TRACE(query ? "setVersionQuery(true)" : "setVersionQuery(false)");
    TestEngineReset();
    std::shared_ptr<CVxAVEngineConfig> config = newConfig();
    ASSERT_TRUE(config->setVersionQuery(query).ok);
    ASSERT_TRUE(config->Initialize().ok);
    TestEngineParameter p{};
    EXPECT_EQ(findParameter(TEST_ENGINE_INITIALISE, 0, 117, p), query);
  }
}

TEST_F(EngineConfigTest, ProductInfoIsLoggedInFullBeforeItIsSent) {
  vxtest::LogCapture capture;
  std::shared_ptr<CVxAVEngineConfig> config = newConfig();
  ASSERT_TRUE(config->setProductInfo(70000, 1033).ok);
  ASSERT_TRUE(config->Initialize().ok);
  for (const wchar_t* text : {L"CVxAVEngineConfig::Initialize - Product Id: 70000",
                              L"CVxAVEngineConfig::Initialize - Product Locale: 1033"}) {
    const vxtest::LogEntry entry = capture->find(text);
    EXPECT_EQ(entry.message, text);
    EXPECT_EQ(entry.severity, VX_LOG_NORMAL);
    EXPECT_EQ(entry.file, L"VxAVEngineConfig");
    EXPECT_EQ(entry.function, L"CVxAVEngineConfig::Initialize");
  }
}

TEST_F(EngineConfigTest, NoProductLinesWithoutProductInfo) {
  vxtest::LogCapture capture;
  std::shared_ptr<CVxAVEngineConfig> config = newConfig();
  ASSERT_TRUE(config->Initialize().ok);
  EXPECT_TRUE(capture->entries().empty());
}

// ---------------------------------------------------------------------------
// Setter rules

struct SetterCase {
  const char* name;
  std::function<VxNAResult<>(CVxAVEngineConfig&)> call;
};

void PrintTo(const SetterCase& c, std::ostream* os) { *os << c.name; }

const std::vector<SetterCase>& everySetter() {
  static const std::vector<SetterCase> setters = {
      {"setProductInfo", [](CVxAVEngineConfig& c) { return c.setProductInfo(1, 2); }},
      {"setEngineFolder", [](CVxAVEngineConfig& c) { return c.setEngineFolder("/f"); }},
      {"setDataSetFiles", [](CVxAVEngineConfig& c) { return c.setDataSetFiles("a", "b", "c"); }},
      {"setVersionQuery(true)", [](CVxAVEngineConfig& c) { return c.setVersionQuery(true); }},
      {"setVersionQuery(false)", [](CVxAVEngineConfig& c) { return c.setVersionQuery(false); }},
      {"Initialize", [](CVxAVEngineConfig& c) { return c.Initialize(); }},
  };
  return setters;
}

class EngineConfigSetterTest : public vxtest::TestEngineFixture,
                               public ::testing::WithParamInterface<SetterCase> {};

TEST_P(EngineConfigSetterTest, FailsOnceTenCodesAreRequested) {
  std::shared_ptr<CVxAVEngineConfig> config = newConfig();
  for (std::uint16_t code = 1; code <= 9; ++code) {
    ASSERT_TRUE(CVxAVEngineConfigTestAccess::request(*config, code).ok);
  }
  // Requesting a code twice is harmless and does not count twice.
  ASSERT_TRUE(CVxAVEngineConfigTestAccess::request(*config, 9).ok);
  ASSERT_TRUE(CVxAVEngineConfigTestAccess::request(*config, 10).ok);
  EXPECT_EQ(GetParam().call(*config).error, VX_E_TOO_MANY_PARAMETERS);
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_INITIALISE), 0u);
}

TEST_P(EngineConfigSetterTest, FailsOnceStarted) {
  std::shared_ptr<CVxAVEngineConfig> config = newConfig();
  ASSERT_TRUE(config->Initialize().ok);
  const VxNAResult<> result = GetParam().call(*config);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, VX_E_ALREADY_INITIALIZED);
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_INITIALISE), 1u);
  // The started engine is still served.
  EXPECT_TRUE(config->getHandle().ok);
  EXPECT_TRUE(config->getEngine().ok);
}

INSTANTIATE_TEST_SUITE_P(EverySetter, EngineConfigSetterTest, ::testing::ValuesIn(everySetter()),
                         [](const auto& info) {
                           std::string name;
                           for (const char c : std::string(info.param.name)) {
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           }
                           return name;
                         });

// ---------------------------------------------------------------------------
// Start, failure and results

TEST_F(EngineConfigTest, BeforeStartNothingIsServed) {
  std::shared_ptr<CVxAVEngineConfig> config = newConfig();
  EXPECT_EQ(config->getInitResults().error, VX_E_NOT_INITIALIZED);
  EXPECT_EQ(config->getEngine().error, VX_E_NOT_INITIALIZED);
  EXPECT_EQ(config->getHandle().error, VX_E_NOT_INITIALIZED);
}

class EngineConfigFailureTest : public vxtest::TestEngineFixture,
                                public ::testing::WithParamInterface<std::uint16_t> {};

TEST_P(EngineConfigFailureTest, AFailedStartReportsTheMappedStatusAndKeepsTheSettings) {
  const std::uint16_t status = GetParam();
  TestEngineSetStatus(TEST_ENGINE_INITIALISE, status);
  {
    std::shared_ptr<CVxAVEngineConfig> config = newConfig();
    ASSERT_TRUE(config->setEngineFolder("/opt/vx").ok);
    ASSERT_TRUE(config->setProductInfo(7, 1031).ok);
    ASSERT_TRUE(config->setDataSetFiles("n", "s", "c").ok);

    const VxNAResult<> failed = config->Initialize();
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, status <= 0xD0EF ? 0x42032F10u + status : 0x42020000u + (status - 0xD0F0u));
    EXPECT_EQ(config->getHandle().error, VX_E_NOT_INITIALIZED);
    EXPECT_EQ(config->getEngine().error, VX_E_NOT_INITIALIZED);

    // The next attempt sends the same settings and succeeds.
    TestEngineSetStatus(TEST_ENGINE_INITIALISE, 0);
    ASSERT_TRUE(config->Initialize().ok);
    ASSERT_EQ(TestEngineCallCount(TEST_ENGINE_INITIALISE), 2u);
    EXPECT_EQ(parameterCodes(TEST_ENGINE_INITIALISE, 1), parameterCodes(TEST_ENGINE_INITIALISE, 0));
    TestEngineParameter p{};
    ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 1, 108, p));
    EXPECT_STREQ(p.strings[0], "/opt/vx");
    ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 1, 110, p));
    EXPECT_STREQ(p.strings[1], "s");
    ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 1, 565, p));
    EXPECT_EQ(bytesOf(p), (std::vector<std::uint8_t>{10, 0, 7, 0, 0x07, 0x04, 0, 0, 0, 0}));
  }
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_CLOSE), 1u);
}

INSTANTIATE_TEST_SUITE_P(Statuses, EngineConfigFailureTest,
                         ::testing::Values(std::uint16_t{1}, std::uint16_t{0xD0EF},
                                           std::uint16_t{0xD0F0}, std::uint16_t{0xFFFF}));

TEST_F(EngineConfigTest, ANeverStartedEngineIsNeverClosed) {
  { std::shared_ptr<CVxAVEngineConfig> unused = newConfig(); }
  TestEngineSetStatus(TEST_ENGINE_INITIALISE, 3);
  {
    std::shared_ptr<CVxAVEngineConfig> failed = newConfig();
    EXPECT_FALSE(failed->Initialize().ok);
  }
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_CLOSE), 0u);
}

TEST_F(EngineConfigTest, TheEngineClosesOnceWhenTheLastHolderLetsGo) {
  TestEngineSetInitialisation(0xABCDEF0123u, 0, 0, 0, nullptr, 0, 0);
  std::shared_ptr<IVxAVEngine> engine;
  {
    std::shared_ptr<CVxAVEngineConfig> config = newConfig();
    ASSERT_TRUE(config->Initialize().ok);
    VxNAResult<std::shared_ptr<IVxAVEngine>> served = config->getEngine();
    ASSERT_TRUE(served.ok);
    engine = served.value;
    // A second Initialize neither starts nor closes anything.
    EXPECT_EQ(config->Initialize().error, VX_E_ALREADY_INITIALIZED);
  }
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_CLOSE), 0u);
  const VxNAResult<VxAVEngineHandle> handle = engine->getHandle();
  ASSERT_TRUE(handle.ok);
  EXPECT_EQ(handle.value, 0xABCDEF0123u);
  engine.reset();
  ASSERT_EQ(TestEngineCallCount(TEST_ENGINE_CLOSE), 1u);
  EXPECT_EQ(TestEngineCallHandle(TEST_ENGINE_CLOSE, 0), 0xABCDEF0123u);
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_INITIALISE), 1u);
}

AV_DATASETRECORD dataSetRecord(std::uint32_t major, std::uint32_t minor, std::uint8_t fill) {
  AV_DATASETRECORD record{};
  std::fill(std::begin(record.engineData0), std::end(record.engineData0), fill);
  std::fill(std::begin(record.engineData20), std::end(record.engineData20), fill);
  record.versionMajor = major;
  record.versionMinor = minor;
  return record;
}

TEST_F(EngineConfigTest, InitResultsCopyTheEnginesReport) {
  const AV_DATASETRECORD records[] = {dataSetRecord(2024, 17, 0xA1), dataSetRecord(9, 9, 0xB2)};
  TestEngineSetInitialisation(77, 5, 600, 123456, records, 2, 0);
  std::shared_ptr<CVxAVEngineConfig> config = newConfig();
  ASSERT_TRUE(config->Initialize().ok);
  const VxNAResult<std::shared_ptr<CVxAVEngineInitResults>> results = config->getInitResults();
  ASSERT_TRUE(results.ok);
  ASSERT_TRUE(results.value);
  EXPECT_EQ(results.value->engineHandle(), 77u);
  EXPECT_EQ(results.value->engineVersionMajor(), 5u);
  EXPECT_EQ(results.value->engineVersionMinor(), 600u);
  EXPECT_EQ(results.value->engineValue(), 123456u);
  EXPECT_EQ(results.value->dataSetVersionMajor(), 2024u);
  EXPECT_EQ(results.value->dataSetVersionMinor(), 17u);
  ASSERT_EQ(results.value->dataSetRecords().size(), 2u);
  EXPECT_EQ(std::memcmp(&results.value->dataSetRecords()[0], &records[0], sizeof(records[0])), 0);
  EXPECT_EQ(std::memcmp(&results.value->dataSetRecords()[1], &records[1], sizeof(records[1])), 0);
}

TEST_F(EngineConfigTest, WithoutDataSetRecordsTheDataSetVersionIsZero) {
  for (const int nullArray : {0, 1}) {
    SCOPED_TRACE(nullArray ? "count 3 with a null array" : "no records");
    TestEngineReset();
    TestEngineSetInitialisation(1, 5, 600, 0, nullptr, nullArray ? 3 : 0, nullArray);
    std::shared_ptr<CVxAVEngineConfig> config = newConfig();
    ASSERT_TRUE(config->Initialize().ok);
    const auto results = config->getInitResults();
    ASSERT_TRUE(results.ok);
    EXPECT_EQ(results.value->dataSetVersionMajor(), 0u);
    EXPECT_EQ(results.value->dataSetVersionMinor(), 0u);
    EXPECT_TRUE(results.value->dataSetRecords().empty());
  }
}

// ---------------------------------------------------------------------------
// The start-up callback

struct CallbackCase {
  const char* name;
  std::uint64_t context;
  bool nullRecord;
  std::uint16_t message;
  std::string output;
};

void PrintTo(const CallbackCase& c, std::ostream* os) { *os << c.name; }

class EngineConfigCallbackTest : public ::testing::TestWithParam<CallbackCase> {};

TEST_P(EngineConfigCallbackTest, NotesTheCallOnStandardOutputAndGoesOn) {
  AV_CALLBACKCONTEXT record{16, 101, 8, GetParam().context};
  ::testing::internal::CaptureStdout();
  const std::uint32_t answer = CVxAVEngineConfig::Callback(
      GetParam().nullRecord ? nullptr : &record, GetParam().message, 1, 2);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), GetParam().output);
  EXPECT_EQ(answer, 0u);
}

const std::string kReceived = "\n AVEngineConfig_Callback - Received callback";

INSTANTIATE_TEST_SUITE_P(
    Calls, EngineConfigCallbackTest,
    ::testing::Values(
        CallbackCase{"context and message", 0x1234, false, 1031,
                     kReceived + "\n CVxAVEngineConfig::Callback - Received callback. Message: 1031"},
        CallbackCase{"no context", 0, false, 1031, kReceived},
        CallbackCase{"message 0", 0x1234, false, 0, kReceived},
        CallbackCase{"no record", 0, true, 1031, kReceived}));

TEST_F(EngineConfigTest, TheEngineReachesTheCallbackWithThisObjectAsContext) {
  const TestEngineCallbackStep steps[] = {{7, 0, 0}, {1045, 0, 0}};
  TestEngineSetScript(TEST_ENGINE_INITIALISE, steps, 2, 1);
  std::shared_ptr<CVxAVEngineConfig> config = newConfig();
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(config->Initialize().ok);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            kReceived + "\n CVxAVEngineConfig::Callback - Received callback. Message: 7" +
                kReceived + "\n CVxAVEngineConfig::Callback - Received callback. Message: 1045");
  ASSERT_EQ(TestEngineAnswerCount(TEST_ENGINE_INITIALISE, 0), 2u);
  EXPECT_EQ(TestEngineAnswer(TEST_ENGINE_INITIALISE, 0, 0), 0u);
  EXPECT_EQ(TestEngineAnswer(TEST_ENGINE_INITIALISE, 0, 1), 0u);
}

}  // namespace
