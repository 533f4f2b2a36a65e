// The engine's clean-verdict cache seen from the entry points: what it skips,
// what it must scan again, and what the host sees either way.
#include "tests/qelda/QeldaEngineFixture.h"

#include "qelda/QeldaVerdictCacheFile.h"
#include "qelda/QeldaVerdictKey.h"
#include "tests/support/MapFilesHandle.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <iterator>
#include <thread>

namespace qeldatest {
namespace {

using HitsFunction = std::uint64_t (*)();

class QeldaVerdictCache : public QeldaEngine {
 protected:
  void SetUp() override {
    QeldaEngine::SetUp();
    engineFolder = dir / "engine";
    fs::create_directories(engineFolder);
    for (const char* name : {"names.dat", "scan.yar", "clean.dat"}) {
      fs::copy_file(fs::path(QELDA_DATA_DIR) / name, engineFolder / name);
    }
    settings("[cache]\nsettle_ms=0\n");
    fs::create_directories(dir / "machine");
    files = dir / "files";
    fs::create_directories(files);
    void* library = dlopen(QELDA_ENGINE_PATH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(library, nullptr);
    hitsFunction = reinterpret_cast<HitsFunction>(dlsym(library, "QeldaCacheHits"));
    dlclose(library);
    ASSERT_NE(hitsFunction, nullptr);
  }
  void TearDown() override {
    unsetenv("VX_SCAN_CACHE");
    QeldaEngine::TearDown();
  }

  void settings(const std::string& text) { std::ofstream(engineFolder / "AVScanner.ini") << text; }
  std::uint16_t startHere() { return start(false, "names.dat", engineFolder.string()); }
  // Closing stores the verdicts; the next start loads them again, since the data
  // set of the closed engine is gone with it.
  std::uint16_t restart() {
    closeEngine();
    return startHere();
  }
  void closeEngine() {
    if (handle != 0) lib.close(handle);
    handle = 0;
  }

  std::string make(const std::string& name, const std::string& content) {
    const fs::path path = files / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    waitPastChangeStamp(path);
    return path.string();
  }
  // Verdicts are kept only for files whose ctime lies before the scan's start on
  // the file system's change clock; wait for that clock to move past the file's.
  static void waitPastChangeStamp(const fs::path& path) {
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    const std::int64_t ctime = static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (qelda::changeClockNow() <= ctime) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the change clock does not move";
      std::this_thread::yield();
    }
  }

  // Scans `path` and says whether the verdict came from the cache.
  bool scanCounted(const std::string& path, Recorder& recorder, bool hash = false) {
    const std::uint64_t before = hitsFunction();
    EXPECT_EQ(scanFile(path, recorder, hash), 0);
    return hitsFunction() != before;
  }
  bool fromCache(const std::string& path) {
    Recorder r;
    return scanCounted(path, r);
  }

  fs::path engineFolder;
  fs::path files;
  HitsFunction hitsFunction = nullptr;
};

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string paddedTo(std::string text, std::size_t size) {
  text.resize(size, ' ');
  return text;
}

TEST_F(QeldaVerdictCache, UnchangedFileIsAnsweredFromTheCacheWithTheSameMessages) {
  ASSERT_EQ(startHere(), 0);
  const auto path = make("clean.bin", std::string(3 * 1024, 'c'));
  Recorder first;
  Recorder second;
  EXPECT_FALSE(scanCounted(path, first));
  EXPECT_TRUE(scanCounted(path, second));
  EXPECT_EQ(codes(first), codes(second));
  EXPECT_EQ(find(second, 1064)->second, AV_SUMMARY_CLEAN);

  // Kept across engines through the file in the machine folder, owner-only.
  ASSERT_EQ(restart(), 0);
  EXPECT_TRUE(fromCache(path));
  struct stat info {};
  ASSERT_EQ(::lstat(qelda::verdictCacheFilePath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, ::geteuid());
}

TEST_F(QeldaVerdictCache, HostStopsAndHashesAreAnsweredAsByAScan) {
  ASSERT_EQ(startHere(), 0);
  const auto path = make("clean.bin", "nothing to see");
  Recorder plain;
  EXPECT_FALSE(scanCounted(path, plain));
  // Remembered without a hash: asked for one, the file is read again.
  Recorder hashed;
  EXPECT_FALSE(scanCounted(path, hashed, true));
  Recorder again;
  EXPECT_TRUE(scanCounted(path, again, true));
  ASSERT_NE(find(again, 1180), nullptr);
  EXPECT_EQ(find(again, 1180)->payload, find(hashed, 1180)->payload);
  EXPECT_EQ(codes(again), codes(hashed));
  for (std::uint16_t decline : {1033, 1056}) {
    Recorder stopped;
    stopped.declineAt = decline;
    scanCounted(path, stopped);
    EXPECT_EQ(find(stopped, 1064)->second, AV_SUMMARY_NOT_SCANNED) << decline;
  }
}

// Every change a cached verdict must not survive: after it, the object is read
// and matched again, and content that turned infected is found.
TEST_F(QeldaVerdictCache, ChangesThatForceAFullScan) {
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> change;
    bool infected;  // the change made the file the test file
  };
  const std::size_t size = 256;
  const Case cases[] = {
      {"content changed, size and mtime restored",
       [&](const std::string& path) {
         struct stat info {};
         ASSERT_EQ(::stat(path.c_str(), &info), 0);
         std::ofstream(path, std::ios::binary | std::ios::trunc) << paddedTo(eicar(), size);
         const timespec times[2] = {info.st_atim, info.st_mtim};
         ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
       },
       true},
      {"replaced by rename",
       [&](const std::string& path) {
         const fs::path replacement = files / "replacement";
         std::ofstream(replacement, std::ios::binary) << paddedTo(eicar(), size);
         fs::rename(replacement, path);
       },
       true},
      {"another data set",
       [&](const std::string&) {
         std::ofstream(engineFolder / "scan.yar", std::ios::app) << "\n// another revision\n";
         ASSERT_EQ(restart(), 0);
       },
       false},
      {"corrupt cache file",
       [&](const std::string&) {
         closeEngine();
         const std::string file = qelda::verdictCacheFilePath();
         ASSERT_EQ(::truncate(file.c_str(), static_cast<off_t>(fs::file_size(file) - 5)), 0);
         ASSERT_EQ(startHere(), 0);
       },
       false},
      {"cache file writable by others",
       [&](const std::string&) {
         closeEngine();
         ASSERT_EQ(::chmod(qelda::verdictCacheFilePath().c_str(), 0622), 0);
         ASSERT_EQ(startHere(), 0);
       },
       false},
      {"cache file of another user",
       [&](const std::string&) {
         closeEngine();
         if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
         ASSERT_EQ(::chown(qelda::verdictCacheFilePath().c_str(), 65534, 65534), 0);
         ASSERT_EQ(startHere(), 0);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    closeEngine();
    fs::remove_all(dir / "machine");
    fs::create_directories(dir / "machine");
    std::ofstream(engineFolder / "scan.yar", std::ios::trunc)
        << std::ifstream(fs::path(QELDA_DATA_DIR) / "scan.yar").rdbuf();
    ASSERT_EQ(startHere(), 0);
    const auto path = make(std::string("file-") + std::to_string(&c - cases), paddedTo("harmless", size));
    EXPECT_FALSE(fromCache(path));
    ASSERT_TRUE(fromCache(path));
    ASSERT_EQ(restart(), 0);  // stored, and the store trusted
    ASSERT_TRUE(fromCache(path));

    c.change(path);
    Recorder r;
    EXPECT_FALSE(scanCounted(path, r));
    EXPECT_EQ(find(r, 1045) != nullptr, c.infected);
  }
}

TEST_F(QeldaVerdictCache, DetectionsAreRememberedAndFreshFilesAreNot) {
  ASSERT_EQ(startHere(), 0);
  const auto infected = make("eicar.com", eicar());
  Recorder first;
  first.declineAt = 1032;  // keep the file to scan it again
  EXPECT_FALSE(scanCounted(infected, first));
  Recorder again;
  again.declineAt = 1032;
  EXPECT_TRUE(scanCounted(infected, again));
  EXPECT_EQ(codes(first), codes(again));
  ASSERT_NE(find(again, 1045), nullptr);
  EXPECT_EQ(find(again, 1045)->text, find(first, 1045)->text);
  EXPECT_EQ(find(again, 1045)->bytes, find(first, 1045)->bytes);
  EXPECT_EQ(find(again, 1064)->second, find(first, 1064)->second);

  // Kept across engines too, and cleaning a remembered detection acts on the file.
  ASSERT_EQ(restart(), 0);
  Recorder cleaned;
  EXPECT_TRUE(scanCounted(infected, cleaned));
  ASSERT_NE(find(cleaned, 1047), nullptr);
  EXPECT_EQ(find(cleaned, 1064)->second, AV_SUMMARY_REPAIRED);
  EXPECT_FALSE(fs::exists(infected));

  // With the default settle time a file changed a moment ago is not trusted yet.
  settings("");
  ASSERT_EQ(restart(), 0);
  const auto fresh = make("fresh.bin", "just written");
  EXPECT_FALSE(fromCache(fresh));
  EXPECT_FALSE(fromCache(fresh));
}

// A remembered detection whose file changed since is scanned afresh before
// anything acts on it: harmless content now is left alone.
TEST_F(QeldaVerdictCache, RememberedDetectionOfAChangedFileIsScannedAfresh) {
  ASSERT_EQ(startHere(), 0);
  const auto path = make("was-infected.com", eicar());
  Recorder keep;
  keep.declineAt = 1032;
  EXPECT_FALSE(scanCounted(path, keep));
  std::ofstream(path, std::ios::binary | std::ios::trunc) << "harmless now";
  waitPastChangeStamp(path);
  Recorder r;
  EXPECT_FALSE(scanCounted(path, r));
  EXPECT_EQ(find(r, 1045), nullptr);
  EXPECT_EQ(find(r, 1064)->second, AV_SUMMARY_CLEAN);
  EXPECT_TRUE(fs::exists(path));
}

// A file some process can still write to without moving its stamps is read
// every time, so that content written later is found.
TEST_F(QeldaVerdictCache, FilesOpenToWritersAreReadEveryTime) {
  ASSERT_EQ(startHere(), 0);
  const std::string padded = paddedTo("harmless", 4096);
  const auto held = make("held.bin", padded);
  // On the test's own folder and on tmpfs.
  std::vector<fs::path> targets{make("mapped.bin", padded)};
  if (fs::is_directory("/dev/shm")) targets.push_back(fs::path("/dev/shm") / ("vx-mapped-" + std::to_string(::getpid())));
  for (const fs::path& target : targets) {
    SCOPED_TRACE(target.string());
    std::ofstream(target, std::ios::binary | std::ios::trunc) << padded;
    // Mapped shared and writable, clean bytes written, the descriptor closed.
    const int fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* view = ::mmap(nullptr, padded.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    ASSERT_NE(view, MAP_FAILED);
    std::memcpy(view, "clean bytes", 11);
    waitPastChangeStamp(target);
    EXPECT_FALSE(fromCache(target.string()));
    EXPECT_FALSE(fromCache(target.string()));
    const std::string test = eicar();
    std::memcpy(view, test.data(), test.size());
    Recorder r;
    EXPECT_FALSE(scanCounted(target.string(), r));
    EXPECT_NE(find(r, 1045), nullptr);
    ::munmap(view, padded.size());
    if (target.parent_path() != files) fs::remove(target);
  }

  // Remembered while nobody writes; once a writer holds it, read again.
  EXPECT_FALSE(fromCache(held));
  EXPECT_TRUE(fromCache(held));
  const int writer = ::open(held.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  EXPECT_FALSE(fromCache(held));
  ::close(writer);
  EXPECT_TRUE(fromCache(held));
}

// A memfd is reached only through the kernel's handle, and its stamps are no
// promise: never looked up, never remembered.
TEST_F(QeldaVerdictCache, MemfdModulesAreReadEveryTime) {
  if (::geteuid() != 0) GTEST_SKIP() << "map_files handles need root";
  ASSERT_EQ(startHere(), 0);
  const int fd = ::memfd_create("lib2", MFD_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string padded = paddedTo("harmless", 4096);
  ASSERT_EQ(::write(fd, padded.data(), padded.size()), static_cast<ssize_t>(padded.size()));
  void* view = ::mmap(nullptr, padded.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  ASSERT_NE(view, MAP_FAILED);
  const std::string handle = vxtest::mapFilesHandleOf(view, padded.size());
  struct stat info {};
  ASSERT_EQ(::stat(handle.c_str(), &info), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (qelda::changeClockNow() <= static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::yield();
  }
  EXPECT_FALSE(fromCache(handle));
  EXPECT_FALSE(fromCache(handle));
  const std::string test = eicar();
  std::memcpy(view, test.data(), test.size());
  Recorder r;
  EXPECT_FALSE(scanCounted(handle, r));
  EXPECT_NE(find(r, 1045), nullptr);
  ::munmap(view, padded.size());
}

// The machine folder is made when missing; one the engine cannot keep its files
// in turns the cache off, and the engine says why.
TEST_F(QeldaVerdictCache, SaysWhyTheCacheIsOff) {
  using OffReasonFunction = std::uint64_t (*)(char*, std::uint64_t);
  void* library = dlopen(QELDA_ENGINE_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr);
  const auto offReason = reinterpret_cast<OffReasonFunction>(dlsym(library, "QeldaCacheOffReason"));
  dlclose(library);
  ASSERT_NE(offReason, nullptr);
  const auto reason = [&] {
    char text[512] = {};
    offReason(text, sizeof text);
    return std::string(text);
  };

  fs::remove_all(dir / "machine");
  ASSERT_EQ(restart(), 0);
  EXPECT_EQ(reason(), "");
  EXPECT_TRUE(fs::is_directory(dir / "machine" / "Vexora"));
  const auto path = make("clean.bin", "harmless");
  EXPECT_FALSE(fromCache(path));
  EXPECT_TRUE(fromCache(path));

  setenv("VX_SCAN_CACHE", "off", 1);
  ASSERT_EQ(restart(), 0);
  EXPECT_EQ(reason(), "turned off");
  unsetenv("VX_SCAN_CACHE");

  ASSERT_EQ(::chmod((dir / "machine" / "Vexora").c_str(), 0777), 0);
  ASSERT_EQ(restart(), 0);
  EXPECT_NE(reason().find("Vexora: owned by another user or writable by others"), std::string::npos) << reason();
  EXPECT_FALSE(fromCache(path));
  ASSERT_EQ(::chmod((dir / "machine" / "Vexora").c_str(), 0755), 0);

  closeEngine();
  ASSERT_EQ(::chmod(qelda::verdictCacheFilePath().c_str(), 0666), 0);
  ASSERT_EQ(startHere(), 0);
  EXPECT_NE(reason().find("verdicts.cache refused: owned by another user or writable by others"), std::string::npos)
      << reason();
  EXPECT_FALSE(fromCache(path));
  EXPECT_EQ(offReason(nullptr, 0), reason().size());
}

TEST_F(QeldaVerdictCache, SwitchedOff) {
  struct Case {
    const char* what;
    const char* ini;
    const char* environment;  // VX_SCAN_CACHE, or none
  } const cases[] = {
      {"settings file", "[Cache]\nsettle_ms=0\nenabled = off ; no cache\n", nullptr},
      {"environment", "[cache]\nsettle_ms=0\n", "off"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    settings(c.ini);
    if (c.environment != nullptr) setenv("VX_SCAN_CACHE", c.environment, 1);
    ASSERT_EQ(restart(), 0);
    const auto path = make("clean.bin", "harmless");
    EXPECT_FALSE(fromCache(path));
    EXPECT_FALSE(fromCache(path));
    unsetenv("VX_SCAN_CACHE");
  }
}

TEST_F(QeldaVerdictCache, FourThreadsScanThroughOneEngine) {
  ASSERT_EQ(startHere(), 0);
  std::vector<std::string> paths;
  for (int i = 0; i < 16; ++i) paths.push_back(make("f" + std::to_string(i), std::string(100 + i, 'a')));
  std::vector<std::thread> threads;
  std::vector<int> cleanCounts(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        for (const auto& path : paths) {
          Recorder r;
          scanWith(handle, path, r);
          if (!r.messages.empty() && r.messages.back().code == 1049 && find(r, 1064)->second == AV_SUMMARY_CLEAN) {
            ++cleanCounts[t];
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(cleanCounts[t], 48) << t;
  EXPECT_TRUE(fromCache(paths.front()));
}

}  // namespace
}  // namespace qeldatest

namespace qeldatest {
namespace {

// The compiled rules kept beside the verdicts stand for the source they came
// from and nothing else: new source, or a damaged store, compiles afresh.
TEST_F(QeldaVerdictCache, StoredCompiledRulesFollowTheSource) {
  const std::string stored = qelda::verdictMachineFolder() + "/Vexora/rules.cache";
  const std::string marker = std::string("LATE") + "-RULE-MARKER";
  const auto probe = make("probe.bin", "xx " + marker + " yy");
  struct Case {
    const char* what;
    std::function<void()> change;
    bool found;  // the probe is detected after the change
  } const cases[] = {
      {"same source", [] {}, false},
      {"a rule added",
       [&] {
         std::ofstream(engineFolder / "scan.yar", std::ios::app)
             << "\nrule Late { meta: name = \"Qelda.Test.Virus\" strings: $m = \"" << marker
             << "\" condition: $m }\n";
       },
       true},
      {"store damaged",
       [&] {
         std::string bytes = readAll(stored);
         ASSERT_GT(bytes.size(), 100u);
         bytes[bytes.size() / 2] ^= 0x55;
         std::ofstream(stored, std::ios::binary | std::ios::trunc) << bytes;
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    closeEngine();
    std::ofstream(engineFolder / "scan.yar", std::ios::trunc)
        << std::ifstream(fs::path(QELDA_DATA_DIR) / "scan.yar").rdbuf();
    ASSERT_EQ(startHere(), 0);
    closeEngine();
    ASSERT_TRUE(fs::exists(stored));
    c.change();
    ASSERT_EQ(startHere(), 0);
    Recorder r;
    r.declineAt = 1032;
    ASSERT_EQ(scanFile(probe, r), 0);
    EXPECT_EQ(find(r, 1045) != nullptr, c.found);
    const auto infected = make("eicar.com", eicar());
    Recorder e;
    e.declineAt = 1032;
    ASSERT_EQ(scanFile(infected, e), 0);
    ASSERT_NE(find(e, 1045), nullptr);
    EXPECT_EQ(find(e, 1045)->text, "Test.EICAR");
  }
}

}  // namespace
}  // namespace qeldatest
