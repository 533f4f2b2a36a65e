// The clean-session counter through the virus-scan object (DISPIDs 10 to 13):
// codes, texts, the cap, the VARIANT_TRUE-only flag, the settings it depends on,
// and increments from several threads and processes that must all count.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "component/CoCVxVirusScan.h"
#include "component/VxAVCleanSessionHandler.h"
#include "foundation/VxProtectedRegistryValue.h"
#include "platform/automation/ComObject.h"
#include "platform/automation/InvokeByName.h"
#include "platform/automation/UniqueVariant.h"
#include "platform/automation/VariantOf.h"
#include "tests/support/CaptureLog.h"

namespace {

using platform::Registry;
using platform::RegistryHive;
using VirusScanObject = platform::automation::ComObject<CoCVxVirusScan>;
using platform::automation::com_ptr;

constexpr char kLocation[] = "Software\\Vexora\\Test Scanner\\42";
constexpr VARIANT_BOOL kOne = 1;  // true to C, but not VARIANT_TRUE

class CleanSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vxcleansession.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    writeSettings("product_name=Test Scanner\nproduct_affid=42\n");
    object_ = makeObject(registry());
  }
  void TearDown() override {
    object_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  void writeSettings(const std::string& productSection) {
    std::ofstream(root_ / "AVScanner.ini") << "[product]\nproduct_id=1\n" << productSection;
  }
  std::string databasePath() const { return (root_ / "registry.db").string(); }
  Registry registry(Registry::Access access = Registry::Access::ReadWrite) const {
    return Registry(databasePath(), access);
  }
  CVxAVCleanSessionHandler handler(const Registry& store) const {
    const std::string folder = root_.string();
    return CVxAVCleanSessionHandler([folder]() -> VxNAResult<std::string> { return folder; }, store);
  }
  com_ptr<VirusScanObject> makeObject(const Registry& store) const {
    com_ptr<VirusScanObject> object;
    const auto noKernel = []() -> VxNAResult<std::shared_ptr<IVxAVScannerKernel>> { return VxNAFail(1627); };
    EXPECT_EQ(VirusScanObject::create(object, noKernel, handler(store)), S_OK);
    return object;
  }

  // A protected DWORD as stored, or its read error.
  VxNAResult<std::uint32_t> storedDword(const char* name) const {
    std::array<std::uint8_t, 4> buffer{};
    const auto read = VxRegReadValue(registry(), kLocation, name, buffer);
    if (!read) return VxNAFail(read.error);
    return std::uint32_t{buffer[0]} | std::uint32_t{buffer[1]} << 8 | std::uint32_t{buffer[2]} << 16 |
           std::uint32_t{buffer[3]} << 24;
  }

  unsigned int count(HRESULT expected = S_OK) {
    unsigned int value = 0;
    EXPECT_EQ(object_->GetCleanSessionCount(&value), expected);
    return value;
  }
  VARIANT_BOOL persist(HRESULT expected = S_OK) {
    VARIANT_BOOL value = 7;
    EXPECT_EQ(object_->GetPersistAfterUninstallState(&value), expected);
    return value;
  }
  unsigned int set(unsigned int value, VARIANT_BOOL persistFlag) {
    unsigned int status = 99;
    EXPECT_EQ(object_->SetCleanSessionCount(value, persistFlag, &status), S_OK);
    return status;
  }
  unsigned int increment(VARIANT_BOOL persistFlag) {
    unsigned int status = 99;
    EXPECT_EQ(object_->IncrementCleanSessionCount(persistFlag, &status), S_OK);
    return status;
  }

  std::filesystem::path root_;
  vxtest::LogCapture log_;
  com_ptr<VirusScanObject> object_;
};

TEST_F(CleanSessionTest, NothingStoredReadsAsNoSessionsAndNoPersist) {
  EXPECT_EQ(count(), 0u);
  EXPECT_EQ(persist(), VARIANT_FALSE);
  EXPECT_TRUE(log_->contains(L"CoCVxVirusScan::GetCleanSessionCount - Count = 0", VX_LOG_NORMAL));
  EXPECT_TRUE(log_->contains(L"CoCVxVirusScan::GetPersistAfterUninstallState - Value = 0", VX_LOG_NORMAL));
  EXPECT_TRUE(log_->contains(L"CVxAVCleanSessionHandler::getCleanSessionCount - VxRegReadValue failed"));
  EXPECT_FALSE(std::filesystem::exists(databasePath())) << "reading stores nothing";
}

TEST_F(CleanSessionTest, SetStoresTheCappedCountAndTheFlag) {
  struct Case {
    unsigned int count;
    VARIANT_BOOL flag;
    std::uint32_t storedCount;
    std::uint32_t storedFlag;
    const wchar_t* message;
  };
  const Case cases[] = {
      {3, VARIANT_TRUE, 3, 1, L"CoCVxVirusScan::SetCleanSessionCount succeeded, Count = 3, Persist after Uninstall = 1"},
      {5000, VARIANT_FALSE, 1024, 0,
       L"CoCVxVirusScan::SetCleanSessionCount succeeded, Count = 5000, Persist after Uninstall = 0"},
      {1024, VARIANT_TRUE, 1024, 1,
       L"CoCVxVirusScan::SetCleanSessionCount succeeded, Count = 1024, Persist after Uninstall = 1"},
      {7, kOne, 7, 0, L"CoCVxVirusScan::SetCleanSessionCount succeeded, Count = 7, Persist after Uninstall = 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    EXPECT_EQ(set(c.count, c.flag), 0u);
    EXPECT_EQ(storedDword("CleanCount").value, c.storedCount);
    EXPECT_EQ(storedDword("CleanCountPersist").value, c.storedFlag);
    EXPECT_TRUE(log_->contains(c.message, VX_LOG_NORMAL));
    EXPECT_EQ(count(), c.storedCount);
    EXPECT_EQ(persist(), c.storedFlag == 1 ? VARIANT_TRUE : VARIANT_FALSE);
  }
  EXPECT_TRUE(log_->contains(L"CVxAVCleanSessionHandler::setCleanSessionCount - dwCleanSessionCount = 1024"));
  // A stored value above the cap (written by something else) reads capped.
  ASSERT_TRUE(VxRegWriteValue(registry(), kLocation, "CleanCount", platform::kRegDword,
                              std::vector<std::uint8_t>{0x88, 0x13, 0, 0}));
  EXPECT_EQ(count(), 1024u);
}

TEST_F(CleanSessionTest, IncrementCountsAndSaturates) {
  EXPECT_EQ(increment(VARIANT_FALSE), 0u) << "from nothing stored";
  EXPECT_EQ(storedDword("CleanCount").value, 1u);
  EXPECT_TRUE(log_->contains(
      L"CoCVxVirusScan::IncrementCleanSessionCount succeeded, Count = 1, Persist after Uninstall = 0"));
  EXPECT_EQ(increment(VARIANT_TRUE), 0u);
  EXPECT_EQ(storedDword("CleanCount").value, 2u);
  EXPECT_EQ(storedDword("CleanCountPersist").value, 1u);
  EXPECT_EQ(increment(kOne), 0u);
  EXPECT_EQ(storedDword("CleanCountPersist").value, 0u) << "only VARIANT_TRUE persists";

  ASSERT_EQ(set(1024, VARIANT_FALSE), 0u);
  EXPECT_EQ(increment(VARIANT_FALSE), 0u);
  EXPECT_EQ(storedDword("CleanCount").value, 1024u);
  EXPECT_TRUE(log_->contains(
      L"CoCVxVirusScan::IncrementCleanSessionCount succeeded, Count = 1025, Persist after Uninstall = 0",
      VX_LOG_NORMAL));
}

TEST_F(CleanSessionTest, ScriptsReachTheMethodsByName) {
  platform::automation::UniqueVariant result;
  const std::array<VARIANT, 2> setArguments{platform::automation::variantOfNumber(VT_I4, 9),
                                            platform::automation::variantOfBool(kOne)};
  ASSERT_EQ(platform::automation::invokeByName(*object_, L"SetCleanSessionCount", setArguments, result.get()), S_OK);
  EXPECT_EQ(result->vt, VT_UINT);
  EXPECT_EQ(result->uintVal, 0u);
  EXPECT_EQ(storedDword("CleanCountPersist").value, 0u) << "a VT_BOOL of 1 is not VARIANT_TRUE";

  const std::array<VARIANT, 1> incrementArguments{platform::automation::variantOfBool(VARIANT_TRUE)};
  platform::automation::UniqueVariant status;
  ASSERT_EQ(platform::automation::invokeByName(*object_, L"incrementcleansessioncount", incrementArguments,
                                               status.get()),
            S_OK);
  platform::automation::UniqueVariant counted;
  ASSERT_EQ(platform::automation::invokeByName(*object_, L"GetCleanSessionCount", {}, counted.get()), S_OK);
  EXPECT_EQ(counted->vt, VT_UINT);
  EXPECT_EQ(counted->uintVal, 10u);
  platform::automation::UniqueVariant flag;
  ASSERT_EQ(platform::automation::invokeByName(*object_, L"GetPersistAfterUninstallState", {}, flag.get()), S_OK);
  EXPECT_EQ(flag->vt, VT_BOOL);
  EXPECT_EQ(flag->boolVal, VARIANT_TRUE);
}

TEST_F(CleanSessionTest, NullArgumentsAreRefused) {
  EXPECT_EQ(object_->GetCleanSessionCount(nullptr), E_INVALIDARG);
  EXPECT_EQ(object_->SetCleanSessionCount(1, VARIANT_TRUE, nullptr), E_INVALIDARG);
  EXPECT_EQ(object_->IncrementCleanSessionCount(VARIANT_TRUE, nullptr), E_INVALIDARG);
  EXPECT_EQ(object_->GetPersistAfterUninstallState(nullptr), E_INVALIDARG);
  for (const wchar_t* text : {L"CoCVxVirusScan::GetCleanSessionCount - Invalid arguments",
                              L"CoCVxVirusScan::SetCleanSessionCount - Invalid arguments",
                              L"CoCVxVirusScan::IncrementCleanSessionCount - Invalid arguments",
                              L"CoCVxVirusScan::GetPersistAfterUninstallState - Invalid arguments"}) {
    EXPECT_TRUE(log_->contains(text, VX_LOG_WARNING)) << text;
  }
  EXPECT_FALSE(std::filesystem::exists(databasePath()));
}

TEST_F(CleanSessionTest, SettingsDecideTheLocation) {
  struct Case {
    std::string section;
    std::uint32_t error;
    const wchar_t* logged;
  };
  const Case cases[] = {
      {"product_name=Test Scanner\n", 13, nullptr},
      {"product_affid=42\n", 13, nullptr},
      {"product_name=Test Scanner\nproduct_affid=\n", 1627,
       L"CVxAVCleanSessionHandler::getRegistryLocation - getProductAffid failed"},
      {"product_name=\nproduct_affid=42\n", 1627,
       L"CVxAVCleanSessionHandler::getRegistryLocation - getProductName failed"},
      {"product_name=Test Scanner\nproduct_affid=" + std::string(1022, '4') + "\n", 13, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.section);
    writeSettings(c.section);
    log_->clear();
    unsigned int value = 0;
    EXPECT_EQ(object_->GetCleanSessionCount(&value), E_FAIL);
    EXPECT_EQ(value, 65535u);
    EXPECT_TRUE(log_->contains(L"CoCVxVirusScan::GetCleanSessionCount - getCleanSessionCount failed, error: " +
                                   std::to_wstring(c.error),
                               VX_LOG_WARNING));
    EXPECT_EQ(persist(E_FAIL), VARIANT_FALSE);
    EXPECT_EQ(set(1, VARIANT_TRUE), c.error);
    EXPECT_EQ(increment(VARIANT_TRUE), c.error);
    if (c.logged != nullptr) {
      EXPECT_TRUE(log_->contains(c.logged, VX_LOG_WARNING));
    }
  }
  EXPECT_FALSE(std::filesystem::exists(databasePath()));

  writeSettings("product_name=Test Scanner\nproduct_affid=42\n");
  std::string location;
  ASSERT_TRUE(handler(registry()).getRegistryLocation(location));
  EXPECT_EQ(location, kLocation);
}

TEST_F(CleanSessionTest, WritesWithoutAccessReportFunctionFailed) {
  ASSERT_EQ(set(5, VARIANT_TRUE), 0u);
  object_ = makeObject(registry(Registry::Access::ReadOnly));
  EXPECT_EQ(set(6, VARIANT_FALSE), 1627u);
  EXPECT_TRUE(log_->contains(L"CoCVxVirusScan::SetCleanSessionCount - setCleanSessionCount failed, error: 1627",
                             VX_LOG_WARNING));
  EXPECT_TRUE(log_->contains(L"CoCVxVirusScan::SetCleanSessionCount - setPersistAfterUninstall failed, error: 1627",
                             VX_LOG_WARNING));
  EXPECT_TRUE(log_->contains(L"CVxAVCleanSessionHandler::setCleanSessionCount - VxRegWriteValue failed"));
  EXPECT_EQ(increment(VARIANT_FALSE), 1627u);
  EXPECT_TRUE(log_->contains(
      L"CoCVxVirusScan::IncrementCleanSessionCount - setCleanSessionCount failed, error: 1627", VX_LOG_WARNING));
  EXPECT_EQ(count(), 5u) << "reading needs no write access";
  EXPECT_EQ(persist(), VARIANT_TRUE);
}

TEST_F(CleanSessionTest, DamagedValuesFailAndStayAsTheyAre) {
  ASSERT_EQ(set(5, VARIANT_TRUE), 0u);
  platform::RegistryValue blob;
  ASSERT_EQ(registry().queryValue(RegistryHive::LocalMachine, kLocation, "CleanCount", blob), 0u);
  blob.data[16] ^= 0x01;  // one digest byte
  ASSERT_EQ(registry().setValue(RegistryHive::LocalMachine, kLocation, "CleanCount", blob.type, blob.data), 0u);
  EXPECT_EQ(count(E_FAIL), 65535u);
  EXPECT_TRUE(log_->contains(L"CoCVxVirusScan::GetCleanSessionCount - getCleanSessionCount failed, error: 13",
                             VX_LOG_WARNING));
  EXPECT_EQ(increment(VARIANT_TRUE), 13u);
  EXPECT_TRUE(log_->contains(
      L"CoCVxVirusScan::IncrementCleanSessionCount - getCleanSessionCount failed, error: 13", VX_LOG_WARNING));
  platform::RegistryValue after;
  ASSERT_EQ(registry().queryValue(RegistryHive::LocalMachine, kLocation, "CleanCount", after), 0u);
  EXPECT_EQ(after, blob) << "not overwritten";

  // A plain REG_DWORD where the protected value belongs.
  const std::vector<std::uint8_t> plain{1, 0, 0, 0};
  ASSERT_EQ(registry().setValue(RegistryHive::LocalMachine, kLocation, "CleanCountPersist", platform::kRegDword,
                                plain),
            0u);
  EXPECT_EQ(persist(E_FAIL), VARIANT_FALSE);
  EXPECT_TRUE(log_->contains(
      L"CoCVxVirusScan::GetPersistAfterUninstallState - getPersistAfterUninstall failed, error: 13", VX_LOG_WARNING));

  // Payloads of the wrong size: longer is 234, shorter 1627.
  ASSERT_TRUE(VxRegWriteValue(registry(), kLocation, "CleanCount", platform::kRegDword,
                              std::vector<std::uint8_t>{1, 0, 0, 0, 0}));
  EXPECT_EQ(count(E_FAIL), 65535u);
  EXPECT_TRUE(log_->contains(L"CoCVxVirusScan::GetCleanSessionCount - getCleanSessionCount failed, error: 234"));
  ASSERT_TRUE(VxRegWriteValue(registry(), kLocation, "CleanCount", platform::kRegDword,
                              std::vector<std::uint8_t>{1, 0, 0}));
  EXPECT_EQ(increment(VARIANT_FALSE), 1627u);
  EXPECT_TRUE(log_->contains(
      L"CoCVxVirusScan::IncrementCleanSessionCount - getCleanSessionCount failed, error: 1627"));
}

// An increment whose count cannot be read leaves the count alone, still writes
// the flag it was given, and logs the failure as a read failure.
TEST_F(CleanSessionTest, IncrementOfADamagedCountStillWritesTheFlag) {
  ASSERT_EQ(set(5, VARIANT_TRUE), 0u);
  platform::RegistryValue blob;
  ASSERT_EQ(registry().queryValue(RegistryHive::LocalMachine, kLocation, "CleanCount", blob), 0u);
  blob.data[16] ^= 0x01;  // one digest byte
  ASSERT_EQ(registry().setValue(RegistryHive::LocalMachine, kLocation, "CleanCount", blob.type, blob.data), 0u);
  log_->clear();

  EXPECT_EQ(increment(VARIANT_FALSE), 13u);
  EXPECT_EQ(storedDword("CleanCountPersist").value, 0u) << "the flag is written";
  platform::RegistryValue after;
  ASSERT_EQ(registry().queryValue(RegistryHive::LocalMachine, kLocation, "CleanCount", after), 0u);
  EXPECT_EQ(after, blob) << "the count is not overwritten";
  EXPECT_TRUE(log_->contains(L"VxRegReadValue - invalid protected value, error: 13", VX_LOG_WARNING));
  EXPECT_TRUE(log_->contains(
      L"CoCVxVirusScan::IncrementCleanSessionCount - getCleanSessionCount failed, error: 13", VX_LOG_WARNING));
  EXPECT_EQ(log_->count(L"VxRegWriteValue - update value failed, error: 13"), 0u);
  EXPECT_TRUE(log_->contains(L"CVxAVCleanSessionHandler::setPersistAfterUninstall - bPersist = 0"));
}

// Each increment is one registry transaction: none is lost to another thread's.
// Runs under ThreadSanitizer as well.
TEST_F(CleanSessionTest, ConcurrentIncrementsFromThreadsAllCount) {
  constexpr int kThreads = 4;
  constexpr int kEach = 40;
  std::array<int, kThreads> failures{};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        unsigned int status = 0;
        if (object_->IncrementCleanSessionCount(VARIANT_FALSE, &status) != S_OK || status != 0) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int failed : failures) EXPECT_EQ(failed, 0);
  EXPECT_EQ(count(), std::uint32_t{kThreads * kEach});
}

TEST_F(CleanSessionTest, ConcurrentIncrementsFromProcessesAllCount) {
  constexpr int kEach = 500;
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      const com_ptr<VirusScanObject> own = makeObject(registry());
      int failures = 0;
      for (int i = 0; i < kEach; ++i) {
        unsigned int status = 0;
        if (own->IncrementCleanSessionCount(VARIANT_FALSE, &status) != S_OK || status != 0) ++failures;
      }
      ::_exit(failures == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_EQ(count(), 1000u);
}

}  // namespace
