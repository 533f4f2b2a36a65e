// The verdict cache itself and its file: bounds, sharing between threads, and
// what a stored file must be to be trusted.
#include "qelda/QeldaVerdictCache.h"
#include "qelda/QeldaVerdictCacheFile.h"
#include "qelda/QeldaPrivateFile.h"
#include "tests/qelda/QeldaTestFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

namespace qeldatest {
namespace {

using qelda::Verdict;
using qelda::VerdictCache;
using qelda::VerdictCacheIdentity;
using qelda::VerdictKey;

VerdictKey keyOf(std::uint64_t n) {
  return VerdictKey{1, n, n * 10, static_cast<std::int64_t>(n) * 7, static_cast<std::int64_t>(n) * 11};
}

Verdict withDigest(std::uint8_t fill) {
  Verdict verdict;
  verdict.sha256.emplace();
  verdict.sha256->fill(fill);
  return verdict;
}

TEST(VerdictCache, FindsOnlyTheExactKeyAndDropsTheOldestWhenFull) {
  VerdictCache cache(64);
  cache.remember(keyOf(1), withDigest(7));
  ASSERT_TRUE(cache.find(keyOf(1)).has_value());
  EXPECT_EQ((*cache.find(keyOf(1))->sha256)[0], 7);
  VerdictKey moved = keyOf(1);
  moved.ctimeNs += 1;
  EXPECT_FALSE(cache.find(moved).has_value());

  for (std::uint64_t n = 2; n < 10'000; ++n) cache.remember(keyOf(n), {});
  EXPECT_LE(cache.size(), cache.capacity());
  EXPECT_GE(cache.capacity(), 64u);
  EXPECT_FALSE(cache.find(keyOf(1)).has_value());
  EXPECT_TRUE(cache.find(keyOf(9'999)).has_value());
}

// Four threads fill and read one cache: with room for everything each finds
// what it added; when full, the bound holds and no entry is torn.
TEST(VerdictCache, FourThreadsFillAndReadIt) {
  constexpr std::uint64_t kPerThread = 2'000;
  for (const std::size_t capacity : {std::size_t{100'000}, std::size_t{1'000}}) {
    SCOPED_TRACE(capacity);
    VerdictCache cache(capacity);
    std::atomic<int> missingOwn{0};
    std::vector<std::thread> threads;
    for (std::uint64_t t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (std::uint64_t i = 0; i < kPerThread; ++i) {
          const std::uint64_t own = t * 1'000'000 + i;
          cache.remember(keyOf(own), withDigest(static_cast<std::uint8_t>(t)));
          if (!cache.find(keyOf(own))) ++missingOwn;
          cache.find(keyOf(((t + 1) % 4) * 1'000'000 + i));
          if (i % 500 == 0) {
            cache.entries();
            cache.takeChanges();
          }
        }
      });
    }
    for (auto& thread : threads) thread.join();
    if (capacity >= 4 * kPerThread) {
      EXPECT_EQ(missingOwn.load(), 0);
      EXPECT_EQ(cache.size(), 4 * kPerThread);
    }
    EXPECT_LE(cache.size(), cache.capacity());
    for (const auto& entry : cache.entries()) {
      ASSERT_TRUE(entry.verdict.sha256.has_value());
      EXPECT_EQ((*entry.verdict.sha256)[0], entry.key.inode / 1'000'000);
    }
  }
}

class VerdictCacheFile : public ::testing::Test {
 protected:
  void SetUp() override {
    identity.dataSetSha256.fill(0x42);
    identity.engineVersion = {1, 0, 1};
    machine = folder.path().string();
    ::chmod(machine.c_str(), 0755);
    stored.remember(keyOf(1), withDigest(1));
    stored.remember(keyOf(2), {});
    ASSERT_EQ(qelda::saveVerdicts(machine, identity, stored), 0);
  }
  std::string file() const { return qelda::verdictCacheFilePath(machine); }
  std::size_t loadedCount(int expectedResult) {
    VerdictCache cache;
    EXPECT_EQ(qelda::loadVerdicts(machine, identity, cache), expectedResult);
    return cache.size();
  }

  TestFolder folder;
  std::string machine;
  VerdictCacheIdentity identity;
  VerdictCache stored;
};

TEST_F(VerdictCacheFile, RoundTripOwnerOnly) {
  VerdictCache cache;
  ASSERT_EQ(qelda::loadVerdicts(machine, identity, cache), 0);
  EXPECT_EQ(cache.size(), 2u);
  ASSERT_TRUE(cache.find(keyOf(1)) && cache.find(keyOf(1))->sha256);
  EXPECT_EQ((*cache.find(keyOf(1))->sha256)[31], 1);
  EXPECT_FALSE(cache.find(keyOf(2))->sha256.has_value());
  struct stat info {};
  ASSERT_EQ(::lstat(file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  // Nothing but the file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(machine) / "Vexora"), fs::directory_iterator()), 1);
}

TEST_F(VerdictCacheFile, KeepsDetectionsDigestsAndMountIds) {
  VerdictKey mounted = keyOf(3);
  mounted.mountId = 77;
  Verdict infected = withDigest(9);
  infected.detections = {4, 0, 2};
  stored.remember(mounted, infected);
  ASSERT_EQ(qelda::saveVerdicts(machine, identity, stored), 0);
  VerdictCache cache;
  ASSERT_EQ(qelda::loadVerdicts(machine, identity, cache), 0);
  ASSERT_TRUE(cache.find(mounted).has_value());
  EXPECT_EQ(cache.find(mounted)->detections, (std::vector<std::uint32_t>{4, 0, 2}));
  EXPECT_EQ((*cache.find(mounted)->sha256)[0], 9);
  EXPECT_FALSE(cache.find(keyOf(3)).has_value()) << "another mount's file";
  EXPECT_TRUE(cache.find(keyOf(2))->detections.empty());
}

// What a save writes, a load of the same capacity accepts: entries past that are
// left out, the oldest first, never the whole file refused.
TEST_F(VerdictCacheFile, SaveStaysWithinWhatALoadAccepts) {
  VerdictCache many(64);
  for (std::uint64_t n = 1; n <= 64; ++n) {
    Verdict verdict;
    verdict.detections.assign(qelda::kMostRememberedDetections, static_cast<std::uint32_t>(n));
    many.remember(keyOf(n), verdict);
  }
  ASSERT_EQ(qelda::saveVerdicts(machine, identity, many), 0);
  VerdictCache loaded(64);
  ASSERT_EQ(qelda::loadVerdicts(machine, identity, loaded), 0);
  EXPECT_GT(loaded.size(), 0u);
  EXPECT_LT(loaded.size(), 64u);
  const auto entries = loaded.entries();
  const bool newestKept = std::any_of(entries.begin(), entries.end(), [](const auto& entry) {
    return entry.key.inode == 64 && entry.verdict.detections.size() == qelda::kMostRememberedDetections;
  });
  EXPECT_TRUE(newestKept);
}

TEST_F(VerdictCacheFile, MissingMachineFolderIsMadeWithItsParents) {
  const std::string deeper = machine + "/not/yet";
  ASSERT_EQ(qelda::saveVerdicts(deeper, identity, stored), 0);
  VerdictCache cache;
  ASSERT_EQ(qelda::loadVerdicts(deeper, identity, cache), 0);
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(qelda::preparePrivateFolder(machine + "/also/new"), 0);
  EXPECT_TRUE(fs::is_directory(machine + "/also/new/Vexora"));
  // A link on the way is never followed, nor made into folders.
  fs::create_directory_symlink(machine + "/also", machine + "/link");
  EXPECT_EQ(qelda::preparePrivateFolder(machine + "/link/more"), ELOOP);
  EXPECT_FALSE(fs::exists(machine + "/also/more"));
}

TEST_F(VerdictCacheFile, OtherIdentityLoadsNothing) {
  for (int which = 0; which < 3; ++which) {
    VerdictCacheIdentity other = identity;
    if (which == 0) other.dataSetSha256[5] ^= 1;
    else if (which == 1) other.engineVersion[2] += 1;
    else other.runtime[31] ^= 1;
    VerdictCache cache;
    EXPECT_EQ(qelda::loadVerdicts(machine, other, cache), 0) << which;
    EXPECT_EQ(cache.size(), 0u) << which;
  }
}

TEST_F(VerdictCacheFile, UntrustedFilesLoadNothing) {
  const std::string original = readFile(file());
  struct Case {
    const char* what;
    std::function<void()> spoil;
    int result;
  } const cases[] = {
      {"truncated", [&] { writeFile(file(), original.substr(0, original.size() - 40)); }, EBADMSG},
      {"one bit flipped", [&] { std::string s = original; s[70] ^= 1; writeFile(file(), s); }, EBADMSG},
      {"empty", [&] { writeFile(file(), ""); }, EBADMSG},
      {"group writable", [&] { ::chmod(file().c_str(), 0660); }, EPERM},
      {"world writable", [&] { ::chmod(file().c_str(), 0602); }, EPERM},
      {"a link", [&] {
         fs::rename(file(), file() + ".real");
         fs::create_symlink(file() + ".real", file());
       }, ELOOP},
      {"a folder", [&] { fs::remove(file()); fs::create_directory(file()); }, EBADMSG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::error_code ignored;
    fs::remove_all(file(), ignored);
    fs::remove(file() + ".real", ignored);
    writeFile(file(), original);
    ::chmod(file().c_str(), 0600);
    ASSERT_EQ(loadedCount(0), 2u);
    c.spoil();
    EXPECT_EQ(loadedCount(c.result), 0u);
    if (fs::is_directory(file())) fs::remove(file());
    // The next save replaces whatever was there.
    ASSERT_EQ(qelda::saveVerdicts(machine, identity, stored), 0);
    EXPECT_EQ(loadedCount(0), 2u);
  }
}

TEST_F(VerdictCacheFile, ForeignOwnerAndOpenFolderAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
  ASSERT_EQ(::chown(file().c_str(), 65534, 65534), 0);
  EXPECT_EQ(loadedCount(EPERM), 0u);
  ASSERT_EQ(::chown(file().c_str(), 0, 0), 0);
  ASSERT_EQ(::chmod((fs::path(machine) / "Vexora").c_str(), 0777), 0);
  EXPECT_EQ(loadedCount(EPERM), 0u);
}

TEST_F(VerdictCacheFile, ClearRemovesIt) {
  ASSERT_EQ(qelda::clearVerdicts(machine), 0);
  EXPECT_FALSE(fs::exists(file()));
  EXPECT_EQ(qelda::clearVerdicts(machine), 0);
  EXPECT_EQ(loadedCount(0), 0u);
}

}  // namespace
}  // namespace qeldatest
