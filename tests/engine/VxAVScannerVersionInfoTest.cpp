#include "engine/VxAVScannerVersionInfo.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/VxAVEngineConfig.h"
#include "foundation/VxErrorCodes.h"
#include "platform/DynamicLibrary.h"
#include "platform/ModuleVersion.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/CaptureLog.h"

namespace {

using vxtest::bytesOf;
using vxtest::findParameter;
using vxtest::parameterCodes;

using Getter = VxNAResult<> (IVxAVScannerVersionInfo::*)(std::wstring&);

struct NamedGetter {
  const char* name;
  Getter getter;
};

const std::array<NamedGetter, 3> kGetters{{
    {"component", &IVxAVScannerVersionInfo::getComponentVersion},
    {"engine", &IVxAVScannerVersionInfo::getEngineVersion},
    {"data set", &IVxAVScannerVersionInfo::getDataSetVersion},
}};

AV_DATASETRECORD dataSetRecord(std::uint32_t major, std::uint32_t minor) {
  AV_DATASETRECORD record{};
  record.versionMajor = major;
  record.versionMinor = minor;
  return record;
}

class VersionInfoTest : public vxtest::TestEngineFixture {
 protected:
  void SetUp() override {
    vxtest::TestEngineFixture::SetUp();
    ASSERT_EQ(probe_.open(VERSION_PROBE_PATH), 0u) << platform::DynamicLibrary::errorText();
  }

  void nameProbeAsComponent(const std::string& moreSettings = "") {
    folder_.write("AVScanner.ini",
                  std::string("[component]\ncomponent_name=") + VERSION_PROBE_NAME + "\n" +
                      moreSettings);
  }

  std::shared_ptr<IVxAVScannerVersionInfo> create() {
    VxNAResult<std::shared_ptr<IVxAVScannerVersionInfo>> info =
        getAVScannerVersionInfo(folder_.path());
    EXPECT_TRUE(info.ok) << info.error;
    EXPECT_TRUE(info.value);
    return info.value;
  }

  static VxNAResult<std::wstring> ask(IVxAVScannerVersionInfo& info, Getter getter) {
    std::wstring text;
    const VxNAResult<> result = (info.*getter)(text);
    if (!result) return VxNAFail(result.error);
    return text;
  }

  vxtest::ScratchFolder folder_;
  platform::DynamicLibrary probe_;
};

TEST_F(VersionInfoTest, TextsComeFromTheModuleAndThePrivateEngine) {
  nameProbeAsComponent();
  const AV_DATASETRECORD records[] = {dataSetRecord(2024, 17), dataSetRecord(9, 9)};
  TestEngineSetInitialisation(0x77, 5, 600, 3, records, 2, 0);
  const std::shared_ptr<IVxAVScannerVersionInfo> info = create();
  ASSERT_TRUE(info);

  const std::array<const wchar_t*, 3> expected{L"1.2.3.4", L"5.600", L"2024.17"};
  for (std::size_t i = 0; i < kGetters.size(); ++i) {
    const VxNAResult<std::wstring> text = ask(*info, kGetters[i].getter);
    ASSERT_TRUE(text.ok) << kGetters[i].name << ": " << text.error;
    EXPECT_EQ(text.value, expected[i]) << kGetters[i].name;
  }
  // Worked out once; the private engine stays open until the object goes.
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_INITIALISE), 1u);
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_CLOSE), 0u);
}

TEST_F(VersionInfoTest, WithoutDataSetRecordTheDataSetVersionIsZero) {
  nameProbeAsComponent();
  TestEngineSetInitialisation(0x77, 0, 0, 0, nullptr, 0, 0);
  const std::shared_ptr<IVxAVScannerVersionInfo> info = create();
  ASSERT_TRUE(info);
  EXPECT_EQ(ask(*info, &IVxAVScannerVersionInfo::getDataSetVersion).value, L"0.0");
  EXPECT_EQ(ask(*info, &IVxAVScannerVersionInfo::getEngineVersion).value, L"0.0");
}

TEST_F(VersionInfoTest, ThePrivateEngineStartsWithTheSettingsAndTheVersionQuery) {
  nameProbeAsComponent(
      "[product]\nproduct_id=7\nproduct_locale=1031\n"
      "[coredatset]\nav_names=names.dat\nav_scan=rules.yar\nav_clean=clean.dat\n");
  const std::shared_ptr<IVxAVScannerVersionInfo> info = create();
  ASSERT_TRUE(info);
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_INITIALISE), 0u) << "nothing starts at creation";

  std::wstring text;
  ASSERT_TRUE(info->getEngineVersion(text).ok);
  EXPECT_EQ(parameterCodes(TEST_ENGINE_INITIALISE, 0),
            (std::vector<std::uint16_t>{108, 110, 107, 100, 101, 565, 117}));
  TestEngineParameter p{};
  ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 117, p));
  EXPECT_EQ(p.record.length, 0u);
  EXPECT_EQ(p.record.value, 0u);
  ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 565, p));
  EXPECT_EQ(bytesOf(p), (std::vector<std::uint8_t>{10, 0, 7, 0, 0x07, 0x04, 0, 0, 0, 0}));
  ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 108, p));
  ASSERT_EQ(p.stringCount, 1u);
  EXPECT_EQ(p.strings[0], folder_.path());
  ASSERT_TRUE(findParameter(TEST_ENGINE_INITIALISE, 0, 110, p));
  EXPECT_EQ(std::vector<std::string>(p.strings, p.strings + p.stringCount),
            (std::vector<std::string>{folder_.file("names.dat"), folder_.file("rules.yar"),
                                      folder_.file("clean.dat")}));
}

TEST_F(VersionInfoTest, DestroyingTheObjectClosesThePrivateEngine) {
  nameProbeAsComponent();
  TestEngineSetInitialisation(0x4242, 1, 0, 0, nullptr, 0, 0);
  std::shared_ptr<IVxAVScannerVersionInfo> info = create();
  ASSERT_TRUE(info);
  std::wstring text;
  ASSERT_TRUE(info->getComponentVersion(text).ok);
  info.reset();
  ASSERT_EQ(TestEngineCallCount(TEST_ENGINE_CLOSE), 1u);
  EXPECT_EQ(TestEngineCallHandle(TEST_ENGINE_CLOSE, 0), 0x4242u);
}

TEST_F(VersionInfoTest, AFailedStartFailsEveryTypeAndIsTriedAgain) {
  nameProbeAsComponent();
  TestEngineSetStatus(TEST_ENGINE_INITIALISE, 0x20);
  const std::shared_ptr<IVxAVScannerVersionInfo> info = create();
  ASSERT_TRUE(info);
  for (const NamedGetter& getter : kGetters) {
    const VxNAResult<std::wstring> text = ask(*info, getter.getter);
    EXPECT_FALSE(text.ok) << getter.name;
    EXPECT_EQ(text.error, 0x42032F30u) << getter.name;
  }
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_INITIALISE), kGetters.size());

  TestEngineSetStatus(TEST_ENGINE_INITIALISE, 0);
  TestEngineSetInitialisation(0x77, 5, 600, 0, nullptr, 0, 0);
  const VxNAResult<std::wstring> engine = ask(*info, &IVxAVScannerVersionInfo::getEngineVersion);
  ASSERT_TRUE(engine.ok) << engine.error;
  EXPECT_EQ(engine.value, L"5.600");
  EXPECT_EQ(ask(*info, &IVxAVScannerVersionInfo::getComponentVersion).value, L"1.2.3.4");
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_INITIALISE), kGetters.size() + 1);
  // Failed starts left no engine open behind them.
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_CLOSE), 0u);
}

struct ComponentCase {
  const char* name;
  std::string settings;  // AVScanner.ini; empty: no file
  std::uint32_t error;
};

void PrintTo(const ComponentCase& c, std::ostream* os) { *os << c.name; }

class ComponentLookupTest : public VersionInfoTest,
                            public ::testing::WithParamInterface<ComponentCase> {};

TEST_P(ComponentLookupTest, FailsBeforeAnyEngineStarts) {
  if (!GetParam().settings.empty()) folder_.write("AVScanner.ini", GetParam().settings);
  const std::shared_ptr<IVxAVScannerVersionInfo> info = create();
  ASSERT_TRUE(info);
  for (const NamedGetter& getter : kGetters) {
    EXPECT_EQ(ask(*info, getter.getter).error, GetParam().error) << getter.name;
  }
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_INITIALISE), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Modules, ComponentLookupTest,
    ::testing::Values(
        // Neither the default component module nor a named one is loaded here.
        ComponentCase{"DefaultNameNotLoaded", "", ERROR_MOD_NOT_FOUND},
        ComponentCase{"NamedModuleNotLoaded", "[component]\ncomponent_name=libnone.so\n",
                      ERROR_MOD_NOT_FOUND},
        // Names compare exactly, as Linux file names do.
        ComponentCase{"NameOfOtherCase", "[component]\ncomponent_name=LIBVXVERSIONPROBE.SO\n",
                      ERROR_MOD_NOT_FOUND},
        // Loaded, but without a version record of its own.
        ComponentCase{"ModuleWithoutVersion", "[component]\ncomponent_name=libqelda64a.so\n",
                      ERROR_FUNCTION_FAILED},
        // 1022 characters do not count: the default name is looked up.
        ComponentCase{"OverlongNameCountsAsMissing",
                      "[component]\ncomponent_name=" + std::string(1022, 'x') + "\n",
                      ERROR_MOD_NOT_FOUND}),
    [](const ::testing::TestParamInfo<ComponentCase>& info) { return info.param.name; });

TEST_F(VersionInfoTest, AModuleNotLoadedIsNotRemembered) {
  folder_.write("AVScanner.ini", "[component]\ncomponent_name=libnone.so\n");
  const std::shared_ptr<IVxAVScannerVersionInfo> info = create();
  ASSERT_TRUE(info);
  EXPECT_EQ(ask(*info, &IVxAVScannerVersionInfo::getComponentVersion).error, ERROR_MOD_NOT_FOUND);
  nameProbeAsComponent();
  EXPECT_EQ(ask(*info, &IVxAVScannerVersionInfo::getComponentVersion).value, L"1.2.3.4");
}

TEST_F(VersionInfoTest, AModuleIsFoundByItsFullPathToo) {
  folder_.write("AVScanner.ini",
                std::string("[component]\ncomponent_name=") + VERSION_PROBE_PATH + "\n");
  const std::shared_ptr<IVxAVScannerVersionInfo> info = create();
  ASSERT_TRUE(info);
  EXPECT_EQ(ask(*info, &IVxAVScannerVersionInfo::getComponentVersion).value, L"1.2.3.4");
}

TEST_F(VersionInfoTest, WithoutSettingsFileTheDefaultsAreLogged) {
  vxtest::LogCapture capture;
  ASSERT_TRUE(create());
  for (const wchar_t* text : {L"CVxAVScannerKernel::getAVScannerVersionInfo - Product ID: 0",
                              L"CVxAVScannerKernel::getAVScannerVersionInfo - Product Locale: 1033"}) {
    const vxtest::LogEntry entry = capture->find(text);
    EXPECT_EQ(entry.message, text);
    EXPECT_EQ(entry.severity, VX_LOG_NORMAL);
    EXPECT_EQ(entry.file, L"VxAVScannerKernel");
    EXPECT_EQ(entry.function, L"CVxAVScannerKernel::getAVScannerVersionInfo");
  }
  EXPECT_EQ(capture->entries().size(), 2u);
}

TEST_F(VersionInfoTest, WithoutHostFolderNoObjectIsMade) {
  EXPECT_EQ(getAVScannerVersionInfo(std::string()).error, ERROR_FUNCTION_FAILED);
}

TEST_F(VersionInfoTest, ConcurrentFirstRequestsShareOnePrivateEngine) {
  nameProbeAsComponent();
  TestEngineSetInitialisation(0x77, 5, 600, 0, nullptr, 0, 0);
  const std::shared_ptr<IVxAVScannerVersionInfo> info = create();
  ASSERT_TRUE(info);
  constexpr std::size_t kThreads = 6;
  std::vector<VxNAResult<std::wstring>> answers(kThreads);
  {
    std::vector<std::jthread> threads;
    for (std::size_t i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] { answers[i] = ask(*info, kGetters[i % 3].getter); });
    }
  }
  const std::array<const wchar_t*, 3> expected{L"1.2.3.4", L"5.600", L"0.0"};
  for (std::size_t i = 0; i < kThreads; ++i) {
    ASSERT_TRUE(answers[i].ok) << answers[i].error;
    EXPECT_EQ(answers[i].value, expected[i % 3]);
  }
  EXPECT_EQ(TestEngineCallCount(TEST_ENGINE_INITIALISE), 1u);
}

TEST(ModuleVersionTest, RecordOfALoadedModule) {
  platform::DynamicLibrary probe;
  ASSERT_EQ(probe.open(VERSION_PROBE_PATH), 0u);
  platform::ModuleVersionRecord record{};
  ASSERT_EQ(platform::loadedModuleVersion(VERSION_PROBE_NAME, record), 0u);
  EXPECT_EQ(record.fileVersionMS, 0x00010002u);
  EXPECT_EQ(record.fileVersionLS, 0x00030004u);
  EXPECT_EQ(platform::loadedModuleVersion("", record), ERROR_MOD_NOT_FOUND);
}

}  // namespace
