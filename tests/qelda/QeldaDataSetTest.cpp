// Sharing of loaded data sets: one compiled rule set per distinct file content,
// alive only while someone holds it.
#include "qelda/QeldaDataSet.h"

#include "engine/VxAVEngineABI.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

class QeldaDataSet : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("qelda-dataset-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    for (const char* copy : {"a", "b"}) {
      fs::create_directories(dir / copy);
      for (const char* file : {"names.dat", "scan.yar", "clean.dat"}) {
        fs::copy_file(fs::path(QELDA_DATA_DIR) / file, dir / copy / file);
      }
    }
  }
  void TearDown() override { fs::remove_all(dir); }

  qelda::DataSetFiles files(const char* copy) const {
    return {(dir / copy / "names.dat").string(), (dir / copy / "scan.yar").string(),
            (dir / copy / "clean.dat").string()};
  }
  void append(const char* copy, const char* file, const std::string& text) const {
    std::ofstream(dir / copy / file, std::ios::binary | std::ios::app) << text;
  }

  fs::path dir;
  qelda::DataSetCache cache;
};

TEST_F(QeldaDataSet, IdenticalFilesShareOneCompiledSet) {
  const auto first = cache.acquire(files("a"), false);
  ASSERT_EQ(first.status, AV_STATUS_OK);
  ASSERT_TRUE(first.dataSet && first.dataSet->rules);
  const auto second = cache.acquire(files("b"), false);
  ASSERT_EQ(second.status, AV_STATUS_OK);
  EXPECT_EQ(second.dataSet.get(), first.dataSet.get());
  EXPECT_EQ(second.dataSet->rules->get(), first.dataSet->rules->get());

  // A version query reads the names file alone and compiles nothing, and it leaves
  // the full set shared.
  const auto version = cache.acquire(files("b"), true);
  ASSERT_EQ(version.status, AV_STATUS_OK);
  ASSERT_TRUE(version.dataSet);
  EXPECT_EQ(version.dataSet->rules, nullptr);
  EXPECT_EQ(version.dataSet->names.versionMajor, 1u);
  EXPECT_EQ(cache.acquire(files("a"), true).dataSet.get(), version.dataSet.get());
  EXPECT_EQ(cache.acquire(files("b"), false).dataSet.get(), first.dataSet.get());
}

TEST_F(QeldaDataSet, VersionQueryNeverReadsTheScanOrCleanFile) {
  fs::remove(dir / "a" / "clean.dat");
  std::ofstream(dir / "a" / "scan.yar", std::ios::trunc) << "rule {";
  const auto version = cache.acquire(files("a"), true);
  EXPECT_EQ(version.status, AV_STATUS_OK);
  EXPECT_TRUE(version.dataSet);
  EXPECT_EQ(cache.acquire(files("a"), false).status, AV_STATUS_DATA_FILE(AV_DATA_FILE_CLEAN, AV_DATA_FILE_MISSING));
}

TEST_F(QeldaDataSet, AnyChangedByteGivesAnotherSet) {
  struct Case {
    const char* file;
    std::string added;
  } cases[] = {{"names.dat", "# another comment\n"},
               {"scan.yar", "\n"},
               {"clean.dat", "7 quarantine\n"}};
  const auto base = cache.acquire(files("a"), false);
  ASSERT_TRUE(base.dataSet);
  const auto baseVersion = cache.acquire(files("a"), true);
  for (const auto& c : cases) {
    fs::remove_all(dir / "b");
    fs::copy(dir / "a", dir / "b");
    append("b", c.file, c.added);
    const auto changed = cache.acquire(files("b"), false);
    ASSERT_EQ(changed.status, AV_STATUS_OK) << c.file;
    EXPECT_NE(changed.dataSet.get(), base.dataSet.get()) << c.file;
    EXPECT_NE(changed.dataSet->rules->get(), base.dataSet->rules->get()) << c.file;
    // Only the names file decides what a version query shares.
    const auto version = cache.acquire(files("b"), true);
    EXPECT_EQ(version.dataSet.get() == baseVersion.dataSet.get(), std::string(c.file) != "names.dat")
        << c.file;
  }
}

TEST_F(QeldaDataSet, LastReleaseFreesTheSetAndTheNextStartLoadsAfresh) {
  for (const bool versionOnly : {false, true}) {
    auto first = cache.acquire(files("a"), versionOnly);
    auto second = cache.acquire(files("b"), versionOnly);
    ASSERT_TRUE(first.dataSet) << versionOnly;
    const std::weak_ptr<const qelda::DataSet> watched = first.dataSet;
    first.dataSet.reset();
    EXPECT_FALSE(watched.expired()) << versionOnly;  // the other holder keeps it
    second.dataSet.reset();
    EXPECT_TRUE(watched.expired()) << versionOnly;  // the cache itself holds nothing
    const auto again = cache.acquire(files("a"), versionOnly);
    ASSERT_EQ(again.status, AV_STATUS_OK) << versionOnly;
    ASSERT_TRUE(again.dataSet) << versionOnly;
    EXPECT_EQ(again.dataSet->rules != nullptr, !versionOnly);
  }
}

TEST_F(QeldaDataSet, ConcurrentStartsShareOneSet) {
  constexpr int kThreads = 4;
  std::vector<std::shared_ptr<const qelda::DataSet>> loaded(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] { loaded[i] = cache.acquire(files(i % 2 == 0 ? "a" : "b"), false).dataSet; });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(loaded[0]);
  for (const auto& dataSet : loaded) EXPECT_EQ(dataSet.get(), loaded[0].get());
}

}  // namespace
