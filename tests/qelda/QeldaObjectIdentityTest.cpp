// A module's identity (AV_PARAM_OBJECT_IDENTITY): the engine scans the file the
// process maps, never another one that took its path, and says so when it
// cannot reach the mapped one. Reading map_files needs root (CAP_SYS_ADMIN).
#include "tests/qelda/QeldaEngineFixture.h"

#include "qelda/QeldaCleaner.h"
#include "qelda/QeldaVerdictKey.h"
#include "tests/support/MapFilesHandle.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace qeldatest {
namespace {

// A file mapped executable into this process, reachable through its map_files
// handle for as long as the mapping lives.
class Mapping {
 public:
  explicit Mapping(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat info {};
    ::fstat(fd, &info);
    size_ = static_cast<std::size_t>(info.st_size);
    address_ = ::mmap(nullptr, size_, PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0);
    ::close(fd);
    identity_ = info;
  }
  ~Mapping() {
    if (address_ != MAP_FAILED) ::munmap(address_, size_);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  bool mapped() const { return address_ != MAP_FAILED; }
  const struct stat& identity() const { return identity_; }
  std::string handle() const { return vxtest::mapFilesHandleOf(address_, size_); }

 private:
  void* address_ = MAP_FAILED;
  std::size_t size_ = 0;
  struct stat identity_ {};
};

struct Identity {
  struct stat of {};
  std::string fallback;    // empty: none
  std::string reportName;  // empty: none
};

class QeldaObjectIdentity : public QeldaEngine {
 protected:
  void SetUp() override {
    QeldaEngine::SetUp();
    if (::geteuid() != 0) GTEST_SKIP() << "map_files handles need root";
    // The default data set with clean verdicts remembered at once.
    engineFolder = dir / "engine";
    fs::create_directories(engineFolder);
    for (const char* name : {"names.dat", "scan.yar", "clean.dat"}) {
      fs::copy_file(fs::path(QELDA_DATA_DIR) / name, engineFolder / name);
    }
    std::ofstream(engineFolder / "AVScanner.ini") << "[cache]\nsettle_ms=0\n";
    fs::create_directories(dir / "machine");
    ASSERT_EQ(start(false, "names.dat", engineFolder.string()), 0);
  }

  std::uint16_t scanAs(const std::string& path, const std::optional<Identity>& identity, Recorder& recorder,
                       std::uint16_t recordSize = sizeof(AV_OBJECTIDENTITY)) {
    AV_OBJECTDESCRIPTOR d{28, AV_OBJECT_KIND_FILE, 1, 0, 0, AV_PTR_TO_U64(path.c_str()),
                          static_cast<std::uint32_t>(path.size() + 1)};
    std::vector<AV_SINGLEPARAMETER> p{{16, AV_PARAM_CALLBACK, 8, AV_PTR_TO_U64(&record)},
                                      {16, AV_PARAM_CALLBACK_CONTEXT, 8, AV_PTR_TO_U64(&recorder)},
                                      {16, AV_PARAM_SCAN_OBJECT, 28, AV_PTR_TO_U64(&d)}};
    AV_OBJECTIDENTITY sent{};
    if (identity) {
      sent.size = recordSize;
      sent.deviceMajor = major(identity->of.st_dev);
      sent.deviceMinor = minor(identity->of.st_dev);
      sent.inode = identity->of.st_ino;
      if (!identity->fallback.empty()) sent.fallbackPath = AV_PTR_TO_U64(identity->fallback.c_str());
      if (!identity->reportName.empty()) sent.reportName = AV_PTR_TO_U64(identity->reportName.c_str());
      p.push_back({16, AV_PARAM_OBJECT_IDENTITY, sizeof(AV_OBJECTIDENTITY), AV_PTR_TO_U64(&sent)});
    }
    AV_PARAMETERS block{12, static_cast<std::uint16_t>(p.size()), AV_PTR_TO_U64(p.data())};
    return lib.scan(handle, &block, 0);
  }

  static struct stat statOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info;
  }

  // Verdicts are remembered only for files whose ctime lies before the scan's
  // start on the change clock; wait for that clock to pass the file's.
  static void waitPastChangeStamp(const std::string& path) {
    const struct stat info = statOf(path);
    const std::int64_t ctime = static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (qelda::changeClockNow() <= ctime) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the change clock does not move";
      std::this_thread::yield();
    }
  }

  // `module` holds the test file and is mapped; then a clean file is renamed
  // over its path, as an update or an attacker would.
  void replaceMappedModule(const std::string& module) {
    const std::string replacement = write("replacement.so", "a clean module");
    fs::rename(replacement, module);
    waitPastChangeStamp(module);  // the rename changed it too
  }

  // Objects this process's scans answered from the verdict cache so far.
  static std::uint64_t cacheHits() {
    void* library = dlopen(QELDA_ENGINE_PATH, RTLD_NOW | RTLD_NOLOAD);
    EXPECT_NE(library, nullptr);
    const auto hits = reinterpret_cast<std::uint64_t (*)()>(dlsym(library, "QeldaCacheHits"));
    EXPECT_NE(hits, nullptr);
    const std::uint64_t count = hits != nullptr ? hits() : 0;
    dlclose(library);
    return count;
  }

  fs::path engineFolder;
};

std::vector<std::uint16_t> upTo(const std::vector<std::uint16_t>& sent, std::size_t count) {
  return std::vector<std::uint16_t>(sent.begin(), sent.begin() + std::min(count, sent.size()));
}

// The mapped file still at its path is scanned as always, whether the identity
// names it by the map's device and inode or (as overlayfs shows another device
// in the map) only the handle leads to it.
TEST_F(QeldaObjectIdentity, TheMappedFileAtItsPathIsScannedAsAlways) {
  const struct {
    const char* what;
    bool recordMatches;
  } cases[] = {{"device and inode match", true}, {"only the handle leads to it", false}};
  for (const auto& c : cases) {
    const std::string module = write("module.so", eicar());
    const Mapping mapping(module);
    ASSERT_TRUE(mapping.mapped());
    Identity identity{mapping.identity(), mapping.handle(), module};
    if (!c.recordMatches) identity.of.st_ino += 1000;
    Recorder r;
    ASSERT_EQ(scanAs(module, identity, r), 0) << c.what;
    EXPECT_EQ(upTo(codes(r), 3), (std::vector<std::uint16_t>{1061, 1041, 1042})) << c.what;
    EXPECT_EQ(find(r, AVM_OBJECT_REPLACED), nullptr) << c.what;
    ASSERT_NE(find(r, AVM_DETECTION), nullptr) << c.what;
    EXPECT_EQ(fieldAt<std::uint32_t>(find(r, AVM_DETECTION)->bytes, 24), 1u) << c.what << ": repairable";
    ASSERT_NE(find(r, AVM_ACTION), nullptr) << c.what;
    EXPECT_FALSE(fs::exists(module)) << c.what;
  }
}

// A clean file renamed over a mapped module's path: the mapped file is read
// through the handle (1070 first), found, not repairable, and the clean file at
// the path is neither touched nor answered for from the verdict cache, which
// knows it clean.
TEST_F(QeldaObjectIdentity, ReplacedModuleIsReadThroughTheHandle) {
  const std::string module = write("module.so", eicar());
  const Mapping mapping(module);
  ASSERT_TRUE(mapping.mapped());
  replaceMappedModule(module);
  Recorder first;
  ASSERT_EQ(scanFile(module, first), 0);
  ASSERT_EQ(find(first, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_CLEAN);
  const std::uint64_t hits = cacheHits();
  Recorder remembered;
  ASSERT_EQ(scanFile(module, remembered), 0);
  ASSERT_EQ(cacheHits(), hits + 1) << "the clean file at the path is in the verdict cache";

  Recorder r;
  const Identity identity{mapping.identity(), mapping.handle(), module + " (replaced) [pid 1]"};
  ASSERT_EQ(scanAs(module, identity, r), 0);
  EXPECT_EQ(codes(r), (std::vector<std::uint16_t>{1061, 1041, 1070, 1042, 1031, 1036, 1033, 1056, 1045, 1032, 1046,
                                                  1064, 1049}));
  EXPECT_EQ(find(r, AVM_OBJECT_NAME)->text, module);
  EXPECT_EQ(static_cast<std::uint64_t>(find(r, AVM_OBJECT_SIZE)->second), eicar().size());
  ASSERT_NE(find(r, AVM_DETECTION), nullptr);
  EXPECT_EQ(find(r, AVM_DETECTION)->text, "Test.EICAR");
  EXPECT_EQ(fieldAt<std::uint32_t>(find(r, AVM_DETECTION)->bytes, 24), 0u) << "a kernel handle is not repairable";
  EXPECT_EQ(find(r, AVM_ACTION), nullptr);
  EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_INFECTED);
  std::ifstream in(module, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "a clean module");
}

// Another file at the path and no way to the mapped one: a changed-file error
// before the size, never a verdict on the file that is there.
TEST_F(QeldaObjectIdentity, NoWayToTheMappedFileIsAChangedFile) {
  const std::string module = write("module.so", eicar());
  const Mapping mapping(module);
  ASSERT_TRUE(mapping.mapped());
  const std::string other = write("other.so", eicar());
  struct stat remapped = mapping.identity();
  remapped.st_ino += 1000;
  const struct {
    const char* what;
    std::string path;
    Identity identity;
  } cases[] = {
      {"no fallback", other, {mapping.identity(), "", ""}},
      {"a fallback that is no kernel handle", other, {mapping.identity(), module, ""}},
      {"the handle itself, its range mapping another file", mapping.handle(), {remapped, mapping.handle(), ""}},
  };
  for (const auto& c : cases) {
    Recorder r;
    ASSERT_EQ(scanAs(c.path, c.identity, r), 0) << c.what;
    EXPECT_EQ(codes(r), (std::vector<std::uint16_t>{1061, 1041, 1044, 1064, 1049})) << c.what;
    EXPECT_EQ(find(r, AVM_SCAN_ERROR)->second, AV_SCAN_ERROR_CHANGED) << c.what;
    EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_ERROR) << c.what;
  }
  EXPECT_TRUE(fs::exists(module));
  EXPECT_TRUE(fs::exists(other));
}

// The path was replaced, and the handle's range no longer maps the recorded
// file either: after 1070 the object is a changed file.
TEST_F(QeldaObjectIdentity, HandleMappingAnotherFileAfterAReplaceIsAChangedFile) {
  const std::string module = write("module.so", eicar());
  const Mapping mapping(module);
  ASSERT_TRUE(mapping.mapped());
  replaceMappedModule(module);
  Identity identity{mapping.identity(), mapping.handle(), ""};
  identity.of.st_ino += 1000;
  Recorder r;
  ASSERT_EQ(scanAs(module, identity, r), 0);
  EXPECT_EQ(codes(r), (std::vector<std::uint16_t>{1061, 1041, 1070, 1044, 1064, 1049}));
  EXPECT_EQ(find(r, AVM_SCAN_ERROR)->second, AV_SCAN_ERROR_CHANGED);
}

TEST_F(QeldaObjectIdentity, MalformedIdentityIsRefused) {
  const std::string module = write("module.so", "plain");
  Recorder r;
  const Identity identity{statOf(module), "", ""};
  EXPECT_EQ(scanAs(module, identity, r, 39), AV_STATUS_BAD_PARAMETERS);
  EXPECT_TRUE(r.messages.empty());
}

// A replaced module's content quarantined twice (two cleaning scans) keeps one
// entry, named as the module is reported, that is not restorable.
TEST_F(QeldaObjectIdentity, ReplacedModuleQuarantinedTwiceKeepsOneEntryUnderItsReportedName) {
  const std::string module = write("module.so", "xx " + vxtest::trojanMarker() + " yy");
  const Mapping mapping(module);
  ASSERT_TRUE(mapping.mapped());
  replaceMappedModule(module);
  const std::string reported = module + " (replaced) [pid " + std::to_string(::getpid()) + "]";
  const Identity identity{mapping.identity(), mapping.handle(), reported};
  for (int run = 1; run <= 2; ++run) {
    Recorder r;
    ASSERT_EQ(scanAs(module, identity, r), 0) << run;
    ASSERT_NE(find(r, AVM_DETECTION), nullptr) << run;
    EXPECT_EQ(find(r, AVM_DETECTION)->text, "Qelda.Test.Trojan") << run;
    EXPECT_EQ(find(r, AVM_ACTION), nullptr) << run << ": nothing was taken off the disk";
    EXPECT_NE(find(r, AVM_REPAIR_ERROR), nullptr) << run;
  }
  std::vector<qelda::QuarantinedItem> items;
  ASSERT_EQ(qelda::listQuarantine(items), 0);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].record.path, reported);
  EXPECT_FALSE(items[0].record.restorable);
  EXPECT_EQ(qelda::restoreFromQuarantine(items[0].id), ENOTSUP);
  ASSERT_EQ(qelda::listQuarantine(items), 0);
  EXPECT_EQ(items.size(), 1u);
  std::ifstream in(module, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "a clean module");
}

}  // namespace
}  // namespace qeldatest
