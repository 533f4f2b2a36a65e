#include "foundation/VxNASysUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxLog.h"
#include "tests/foundation/FileTestFolder.h"
#include "tests/support/CaptureLog.h"

namespace {

using vxtest::FileTestFolder;

constexpr wchar_t kCreated[] = L"CVxSifterScanner::getRandomFolder Temp file created , Path:";

// Sets TMPDIR for one test and puts back what was there.
class TemporaryFolderVariable {
 public:
  explicit TemporaryFolderVariable(const char* value) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    hadOld_ = std::getenv("TMPDIR") != nullptr;
    if (value == nullptr) {
      ::unsetenv("TMPDIR");
    } else {
      ::setenv("TMPDIR", value, 1);
    }
  }
  ~TemporaryFolderVariable() {
    if (hadOld_) {
      ::setenv("TMPDIR", old_.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }

 private:
  std::string old_;
  bool hadOld_ = false;
};

TEST(GetRandomFolder, RangeZeroIsRefused) {
  vxtest::LogCapture capture;
  const VxNAResult<std::wstring> result = CVxNASysUtil::getRandomFolder(L"siftertmp", 0);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(result.value, L"");
  EXPECT_TRUE(capture->entries().empty());
}

TEST(GetRandomFolder, TemporaryFolderComesFromTmpdirWithOneTrailingSlash) {
  FileTestFolder folder;
  const std::string base = folder.root().string();
  const struct {
    const char* name;
    bool set;
    std::string tmpdir;
    std::string expected;
  } cases[] = {
      {"WithoutSlash", true, base, base + "/"},
      {"WithSlash", true, base + "/", base + "/"},
      {"Unset", false, "", "/tmp/"},
      {"Empty", true, "", "/tmp/"},
      {"Relative", true, "relative/tmp", "/tmp/"},
  };
  for (const auto& c : cases) {
    TemporaryFolderVariable variable(c.set ? c.tmpdir.c_str() : nullptr);
    vxtest::LogCapture capture;
    const VxNAResult<std::wstring> result = CVxNASysUtil::getRandomFolder(L"siftertmp", 1);
    const std::wstring expected = FileTestFolder::toWide(c.expected) + L"siftertmp1";
    EXPECT_TRUE(result.ok) << c.name;
    EXPECT_EQ(result.error, 0u) << c.name;
    EXPECT_EQ(result.value, expected) << c.name;
    EXPECT_TRUE(capture->contains(kCreated + expected, VX_LOG_NORMAL)) << c.name;
    EXPECT_EQ(capture->find(kCreated + expected).file, L"VxNASysEnvUtil");
    EXPECT_EQ(capture->find(kCreated + expected).function, L"CVxNASysUtil::getRandomFolder");
  }
}

TEST(GetRandomFolder, NumbersStayInRangeVaryAndCreateNothing) {
  FileTestFolder folder;
  TemporaryFolderVariable variable(folder.root().c_str());
  const std::wstring prefix = FileTestFolder::toWide(folder.root()) + L"/siftertmp";
  std::set<unsigned long> seen;
  for (int i = 0; i < 300; ++i) {
    const VxNAResult<std::wstring> result = CVxNASysUtil::getRandomFolder(L"siftertmp", 100);
    ASSERT_TRUE(result.ok);
    ASSERT_EQ(result.value.rfind(prefix, 0), 0u) << "not under $TMPDIR";
    const std::wstring digits = result.value.substr(prefix.size());
    ASSERT_FALSE(digits.empty());
    ASSERT_NE(digits.front(), L'0') << "no leading zeros";
    const unsigned long number = std::stoul(digits);
    ASSERT_GE(number, 1u);
    ASSERT_LE(number, 100u);
    seen.insert(number);
  }
  // 300 draws from 100 values giving fewer than 10 distinct ones is not chance.
  EXPECT_GE(seen.size(), 10u);
  EXPECT_TRUE(std::filesystem::is_empty(folder.root() / "machine"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.root()), {}), 1);
}

TEST(GetRandomFolder, LargestRangeStaysInRange) {
  for (int i = 0; i < 50; ++i) {
    const VxNAResult<std::wstring> result = CVxNASysUtil::getRandomFolder(L"p", 0xFFFFFFFFu);
    ASSERT_TRUE(result.ok);
    const std::wstring digits = result.value.substr(result.value.rfind(L'p') + 1);
    const unsigned long long number = std::stoull(digits);
    EXPECT_GE(number, 1u);
    EXPECT_LE(number, 0xFFFFFFFFull);
  }
}

TEST(GetRandomFolder, TemporaryFolderTooLongGivesAnEmptyPath) {
  const std::string longFolder = "/" + std::string(1400, 't');
  TemporaryFolderVariable variable(longFolder.c_str());
  vxtest::LogCapture capture;
  const VxNAResult<std::wstring> result = CVxNASysUtil::getRandomFolder(L"siftertmp", 100);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.error, 0u);
  EXPECT_EQ(result.value, L"");
  EXPECT_TRUE(capture->contains(L"CVxSifterScanner::getReportPath creating a temp folder, ERROR:122",
                                VX_LOG_ERROR));
}

}  // namespace
