// The kernel's handles to what a process maps: the exact shapes that are opened
// through their magic link, and what opening, deleting and quarantining through
// them does. Every other path keeps the no-link resolution.
#include "qelda/QeldaCleaner.h"
#include "qelda/QeldaNoFollowPath.h"
#include "qelda/QeldaProcessHandle.h"
#include "tests/qelda/QeldaTestFolder.h"
#include "tests/support/MapFilesHandle.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

namespace fs = std::filesystem;
using qeldatest::readFile;
using qeldatest::TestFolder;
using qeldatest::writeFile;

TEST(QeldaProcessHandle, OnlyTheExactShapesAreHandles) {
  struct Case {
    const char* path;
    bool mappedFile;
    bool processRoot;
    const char* process;
    const char* inside;
  };
  const Case cases[] = {
      {"/proc/42/map_files/7f00-8f00", true, false, "", ""},
      {"/proc/42/exe", true, false, "", ""},
      {"/proc/42/root", false, true, "/proc/42", "/"},
      {"/proc/42/root/usr/lib/libfoo.so", false, true, "/proc/42", "/usr/lib/libfoo.so"},
      {"/proc/self/exe", false, false, "", ""},
      {"/proc/self/root/etc/passwd", false, false, "", ""},
      {"/proc/42/map_files/7f00-8g00", false, false, "", ""},
      {"/proc/42/map_files/7F00-8F00", false, false, "", ""},
      {"/proc/42/map_files/7f00-", false, false, "", ""},
      {"/proc/42/map_files/../exe", false, false, "", ""},
      {"/proc/42/map_files/7f00-8f00/x", false, false, "", ""},
      {"/proc/42/exe/x", false, false, "", ""},
      {"/proc/42/rootfs/x", false, false, "", ""},
      {"/proc/42/cwd/x", false, false, "", ""},
      {"/proc//root/x", false, false, "", ""},
      {"/proc/4x2/root/x", false, false, "", ""},
      {"/tmp/proc/42/exe", false, false, "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(qelda::isMappedFileHandle(c.path), c.mappedFile) << c.path;
    std::string process;
    std::string inside;
    EXPECT_EQ(qelda::splitProcessRootPath(c.path, process, inside), c.processRoot) << c.path;
    if (!c.processRoot) continue;
    EXPECT_EQ(process, c.process);
    EXPECT_EQ(inside, c.inside);
  }
}

class QeldaProcessHandleFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    options_.machineFolder = (folder_.path() / "machine").string();
    options_.freeSpaceFloor = 0;
  }
  std::string self() const { return "/proc/" + std::to_string(getpid()); }

  TestFolder folder_;
  qelda::QuarantineOptions options_;
};

// A file mapped executable into this process and then deleted: only its
// map_files entry still reaches it.
class DeletedMapping {
 public:
  DeletedMapping(const fs::path& path, const std::string& content) {
    writeFile(path, content);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    address_ = ::mmap(nullptr, content.size(), PROT_READ | PROT_EXEC, MAP_PRIVATE, fd, 0);
    ::close(fd);
    size_ = content.size();
    fs::remove(path);
  }
  ~DeletedMapping() {
    if (address_ != MAP_FAILED) ::munmap(address_, size_);
  }
  DeletedMapping(const DeletedMapping&) = delete;
  DeletedMapping& operator=(const DeletedMapping&) = delete;
  bool mapped() const { return address_ != MAP_FAILED; }
  std::string handle() const { return vxtest::mapFilesHandleOf(address_, size_); }

 private:
  void* address_ = MAP_FAILED;
  std::size_t size_ = 0;
};

TEST_F(QeldaProcessHandleFiles, DeletedMappingIsReadQuarantinedButNeverRemoved) {
  const std::string content = "the mapped content\n";
  const DeletedMapping mapping(folder_.path() / "gone", content);
  ASSERT_TRUE(mapping.mapped());
  qelda::ScannedFile file;
  ASSERT_EQ(qelda::openScannedFile(mapping.handle(), file), 0) << mapping.handle();
  EXPECT_TRUE(file.kernelHandle);
  EXPECT_EQ(file.opened.st_nlink, 0u);
  EXPECT_EQ(qelda::checkStillInPlace(file), 0);
  qelda::QuarantineEntry entry{"Qelda.Test.Trojan", {}, {}};
  ASSERT_EQ(qelda::digestScannedFile(file, {}, entry.sha256), 0);

  EXPECT_EQ(qelda::deleteScannedFile(file), EPERM);
  EXPECT_EQ(qelda::quarantineScannedFile(file, entry, {}, options_), EPERM);
  std::vector<qelda::QuarantinedItem> items;
  ASSERT_EQ(qelda::listQuarantine(items, options_), 0);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items.front().record.path, mapping.handle());
  EXPECT_EQ(items.front().record.sha256, entry.sha256);
  EXPECT_EQ(items.front().record.size, content.size());
  EXPECT_FALSE(items.front().record.restorable);
  EXPECT_EQ(qelda::restoreFromQuarantine(items.front().id, options_), ENOTSUP);
}

// A kept copy is named as the host reports the module, and content the
// quarantine holds already (under any name) is not copied again.
TEST_F(QeldaProcessHandleFiles, KeptCopyIsNamedAsReportedAndKeptOnce) {
  const std::string content = "the mapped content\n";
  const DeletedMapping mapping(folder_.path() / "gone", content);
  ASSERT_TRUE(mapping.mapped());
  const std::string reported = "memfd:payload [pid " + std::to_string(getpid()) + "]";
  for (int run = 1; run <= 2; ++run) {
    qelda::ScannedFile file;
    ASSERT_EQ(qelda::openScannedFile(mapping.handle(), file), 0) << run;
    qelda::QuarantineEntry entry{"Qelda.Test.Trojan", {}, reported};
    ASSERT_EQ(qelda::digestScannedFile(file, {}, entry.sha256), 0) << run;
    EXPECT_EQ(qelda::quarantineScannedFile(file, entry, {}, options_), EPERM) << run;
  }
  std::vector<qelda::QuarantinedItem> items;
  ASSERT_EQ(qelda::listQuarantine(items, options_), 0);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items.front().record.path, reported);
  EXPECT_FALSE(items.front().record.restorable);
  EXPECT_EQ(qelda::restoreFromQuarantine(items.front().id, options_), ENOTSUP);
  ASSERT_EQ(qelda::listQuarantine(items, options_), 0);
  EXPECT_EQ(items.size(), 1u);
}

TEST_F(QeldaProcessHandleFiles, ProcessRootResolvesWithoutLinksAndCleansInPlace) {
  const fs::path files = folder_.path() / "files";
  fs::create_directories(files / "real");
  writeFile(files / "real" / "module.so", "module");
  writeFile(folder_.path() / "sentinel", "sentinel");
  fs::create_symlink(files / "real", files / "linked");
  fs::create_symlink(folder_.path() / "sentinel", files / "real" / "link.so");

  qelda::ScannedFile file;
  EXPECT_EQ(qelda::openScannedFile(self() + "/root" + (files / "linked" / "module.so").string(), file), ELOOP);
  EXPECT_EQ(qelda::openScannedFile(self() + "/root" + (files / "real" / "link.so").string(), file), ELOOP);
  // Other magic links of /proc are links like any other.
  EXPECT_EQ(qelda::openScannedFile("/proc/self/root" + (files / "real" / "module.so").string(), file), ELOOP);
  EXPECT_EQ(qelda::openScannedFile(self() + "/cwd/x", file), ELOOP);

  const std::string inRoot = self() + "/root" + (files / "real" / "module.so").string();
  ASSERT_EQ(qelda::openScannedFile(inRoot, file), 0);
  EXPECT_FALSE(file.kernelHandle);
  EXPECT_EQ(qelda::checkStillInPlace(file), 0);
  EXPECT_EQ(qelda::deleteScannedFile(file), 0);
  EXPECT_FALSE(fs::exists(files / "real" / "module.so"));
  EXPECT_EQ(readFile(folder_.path() / "sentinel"), "sentinel");
}

}  // namespace
