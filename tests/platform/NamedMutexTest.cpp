// The cross-process mutex: exclusion between holders, the time limit, and a
// holder that dies without unlocking.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "platform/NamedMutex.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

class NamedMutexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vxmutex.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  fs::path root_;
};

TEST_F(NamedMutexTest, SecondHolderWaitsUntilTheLimitThenGivesUp) {
  platform::NamedMutex first(root_.string(), "prog_X");
  platform::NamedMutex second(root_.string(), "prog_X");
  ASSERT_TRUE(first.lock(milliseconds(1000)));
  EXPECT_FALSE(second.lock(milliseconds(20)));
  first.unlock();
  EXPECT_TRUE(second.lock(milliseconds(1000)));
  EXPECT_TRUE(fs::is_regular_file(root_ / "prog_X.lock"));
}

TEST_F(NamedMutexTest, MissingFolderOrLinkedLockFileGivesNoLock) {
  platform::NamedMutex missing((root_ / "nowhere").string(), "prog_X");
  EXPECT_FALSE(missing.lock(milliseconds(1000)));
  fs::create_symlink(root_ / "elsewhere", root_ / "prog_Y.lock");
  platform::NamedMutex linked(root_.string(), "prog_Y");
  EXPECT_FALSE(linked.lock(milliseconds(1000)));
  EXPECT_FALSE(fs::exists(root_ / "elsewhere"));
}

// Another user holding the lock file stalled every holder. The lock file is now
// owner-only; one an older version left readable is made anew, so whoever holds
// the old one holds nothing; one of another user is refused at once.
TEST_F(NamedMutexTest, NobodyElseCanHoldIt) {
  const fs::path file = root_ / "prog_X.lock";
  {
    platform::NamedMutex fresh(root_.string(), "prog_X");
    ASSERT_TRUE(fresh.lock(milliseconds(1000)));
  }
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  const int squatter = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(squatter, 0);
  ASSERT_EQ(::flock(squatter, LOCK_EX | LOCK_NB), 0);
  platform::NamedMutex mutex(root_.string(), "prog_X");
  EXPECT_TRUE(mutex.lock(milliseconds(0))) << "the squatter's old file is not ours to wait for";
  EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  mutex.unlock();
  ::close(squatter);

  struct Case {
    const char* what;
    std::function<void()> spoil;
    bool needsRoot;
  } const cases[] = {
      {"lock file of another user", [&] { ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0); }, true},
      {"lock folder writable by others", [&] { ::chmod(root_.c_str(), 0777); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && ::geteuid() != 0) continue;
    c.spoil();
    platform::NamedMutex refused(root_.string(), "prog_X");
    EXPECT_FALSE(refused.lock(milliseconds(0)));
    EXPECT_NE(refused.refusal().find(": "), std::string::npos) << refused.refusal();
    ::chmod(root_.c_str(), 0700);
    fs::remove(file);
  }
}

TEST_F(NamedMutexTest, HolderThatDiesReleasesIt) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    platform::NamedMutex held(root_.string(), "prog_X");
    if (!held.lock(milliseconds(5000))) ::_exit(1);
    std::abort();  // dies holding it
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  platform::NamedMutex after(root_.string(), "prog_X");
  EXPECT_TRUE(after.lock(milliseconds(1000)));
}

// Under ThreadSanitizer: four threads, one object each. The sanitizer cannot
// see a lock the kernel keeps, so exclusion is checked with atomics: no thread
// may find another inside.
TEST_F(NamedMutexTest, ExcludesThreadsWithObjectsOfTheirOwn) {
  std::atomic<bool> inside{false};
  std::atomic<int> overlaps{0};
  std::atomic<int> entries{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      platform::NamedMutex mutex(root_.string(), "prog_X");
      for (int i = 0; i < 200; ++i) {
        if (!mutex.lock(milliseconds(60000))) continue;
        if (inside.exchange(true)) ++overlaps;
        ++entries;
        inside = false;
        mutex.unlock();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(overlaps, 0);
  EXPECT_EQ(entries, 800);
}

}  // namespace
