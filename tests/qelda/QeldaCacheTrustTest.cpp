// Whether the verdict cache may serve a file: the kinds of file and file system it
// refuses, writers found by the read lease, a lease broken while held that must
// not end the process, and the runtime identity a stored cache must match.
#include "qelda/QeldaCacheTrust.h"

#include "qelda/QeldaScannedFile.h"
#include "tests/qelda/QeldaTestFolder.h"
#include "tests/support/MapFilesHandle.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/loop.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <latch>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace qelda {
// gtest prints a CacheTrust by its text.
void PrintTo(CacheTrust trust, std::ostream* out) { *out << describe(trust); }
}  // namespace qelda

namespace {

namespace fs = std::filesystem;
using qelda::CacheTrust;
using qelda::Fd;
using qelda::ScannedFile;
using qeldatest::TestFolder;
using qeldatest::writeFile;

// Every wait on another process: generous, so that only a hang runs into it.
constexpr int kDeadlineMs = 120'000;
constexpr std::uint32_t kTmpfsMagic = 0x01021994U;
constexpr unsigned kStatxMountIdUnique = 0x4000U;

// The unique id of the mount `fd` lies on, asked of the kernel directly.
std::uint64_t uniqueMountIdOf(int fd) {
  struct statx info {};
  if (::statx(fd, "", AT_EMPTY_PATH, kStatxMountIdUnique, &info) != 0) return 0;
  return (info.stx_mask & kStatxMountIdUnique) != 0 ? info.stx_mnt_id : 0;
}

bool kernelHasUniqueMountIds() {
  const Fd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  return root.valid() && qelda::kernelTellsMountsApart(root.get());
}

struct Pipe {
  Fd read;
  Fd write;
  Pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) == 0) {
      read.reset(ends[0]);
      write.reset(ends[1]);
    }
  }
};

// One byte from `fd`; nothing at the pipe's end, on an error or past the deadline.
std::optional<char> readByte(int fd) {
  pollfd ready{fd, POLLIN, 0};
  if (::poll(&ready, 1, kDeadlineMs) != 1) return std::nullopt;
  char byte = 0;
  if (::read(fd, &byte, 1) != 1) return std::nullopt;
  return byte;
}

// Whether the pipe read through `fd` has ended (every writer closed it), looked at
// without waiting.
bool pipeEnded(int fd) {
  pollfd ready{fd, POLLIN, 0};
  if (::poll(&ready, 1, 0) != 1) return false;
  char byte = 0;
  return ::read(fd, &byte, 1) == 0;
}

// A forked child of the test, running `body` and ending with _exit(body()). The
// child keeps to system calls (and what the test's own steps need). Killed and
// reaped when destroyed before it was waited for.
class Child {
 public:
  explicit Child(const std::function<int()>& body) {
    pid_ = ::fork();
    if (pid_ == 0) ::_exit(body());
    if (pid_ > 0) pidFd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
  }
  ~Child() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }

  // Its wait status once it ended; nothing (and it is killed) when the deadline
  // passed first.
  std::optional<int> wait() {
    if (pid_ <= 0) return std::nullopt;
    if (pidFd_.valid()) {
      pollfd ended{pidFd_.get(), POLLIN, 0};
      if (::poll(&ended, 1, kDeadlineMs) != 1) return std::nullopt;
    }
    int status = 0;
    const pid_t reaped = ::waitpid(pid_, &status, 0);
    if (reaped != pid_) return std::nullopt;
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_ = -1;
  Fd pidFd_;
};

std::string statusText(const std::optional<int>& status) {
  if (!status) return "did not end in time";
  if (WIFEXITED(*status)) return "exited with " + std::to_string(WEXITSTATUS(*status));
  if (WIFSIGNALED(*status)) return std::string("killed by ") + ::strsignal(WTERMSIG(*status));
  return "ended oddly";
}

// A child's answer for a CacheTrust, kept apart from the codes of its own failures.
constexpr int kTrustCodeBase = 20;
int exitCodeOf(CacheTrust trust) { return kTrustCodeBase + static_cast<int>(trust); }
std::optional<CacheTrust> trustOfExit(const std::optional<int>& status) {
  if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) < kTrustCodeBase) return std::nullopt;
  return static_cast<CacheTrust>(WEXITSTATUS(*status) - kTrustCodeBase);
}

// Another process holding `path` open with `flags` until released.
class OtherProcessHolding {
 public:
  OtherProcessHolding(const std::string& path, int flags)
      : child_([&] {
          ready_.read.reset();
          release_.write.reset();
          const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
          const char answer = fd >= 0 ? 'R' : 'F';
          if (::write(ready_.write.get(), &answer, 1) != 1) return 1;
          char ignored = 0;
          while (::read(release_.read.get(), &ignored, 1) < 0 && errno == EINTR) {
          }
          return 0;  // the descriptor is closed as the child ends
        }) {
    ready_.write.reset();
    release_.read.reset();
  }
  ~OtherProcessHolding() { release(); }
  OtherProcessHolding(const OtherProcessHolding&) = delete;
  OtherProcessHolding& operator=(const OtherProcessHolding&) = delete;

  bool holding() { return child_.started() && readByte(ready_.read.get()) == 'R'; }

  // Lets the child close the file and end; true once it ended.
  bool release() {
    if (released_) return true;
    released_ = true;
    release_.write.reset();
    const std::optional<int> status = child_.wait();
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0;
  }

 private:
  Pipe ready_;
  Pipe release_;
  Child child_;
  bool released_ = false;
};

class Mapping {
 public:
  Mapping(int fd, std::size_t size, int protection, int flags)
      : address_(::mmap(nullptr, size, protection, flags, fd, 0)), size_(size) {}
  ~Mapping() {
    if (valid()) ::munmap(address_, size_);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  bool valid() const { return address_ != MAP_FAILED; }
  void* address() const { return address_; }
  std::size_t size() const { return size_; }

 private:
  void* address_;
  std::size_t size_;
};

ScannedFile openedAsEngine(const fs::path& path) {
  ScannedFile file;
  EXPECT_EQ(qelda::openScannedFile(path.string(), file), 0) << path;
  return file;
}

class CacheTrustTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    file_ = folder_.path() / "sample.bin";
    writeFile(file_, std::string(8192, 'q'));
  }

  TestFolder folder_;
  fs::path file_;
};

// ---- Kinds of file ----

TEST_F(CacheTrustTest, PlainFileIsTrustedWithTheUniqueIdOfItsMount) {
  if (!kernelHasUniqueMountIds()) GTEST_SKIP() << "the kernel gives no unique mount ids (before Linux 6.8)";
  const ScannedFile file = openedAsEngine(file_);
  const qelda::CacheTrustCheck check = qelda::checkCacheTrust(file);
  EXPECT_EQ(check.trust, CacheTrust::Trusted) << qelda::describe(check.trust);
  EXPECT_NE(check.mountId, 0u);
  EXPECT_EQ(check.mountId, uniqueMountIdOf(file.parent.get()));
  EXPECT_TRUE(qelda::kernelTellsMountsApart(file.parent.get()));
}

// Where a file lies decides before any lease is tried: procfs offers no leases at
// all (EINVAL), so a check that got the order wrong would answer Unchecked.
TEST(CacheTrust, FileSystemDecidesByItsType) {
  if (!kernelHasUniqueMountIds()) GTEST_SKIP() << "the kernel gives no unique mount ids (before Linux 6.8)";
  struct Case {
    const char* what;
    fs::path path;
    CacheTrust expected;
  };
  // mkstemp's descriptor is open for writing; only the name is kept.
  std::string shmPattern = "/dev/shm/qelda-trust-XXXXXX";
  Fd shm(::mkstemp(shmPattern.data()));
  const bool made = shm.valid();
  struct statfs shmFs {};
  const bool haveTmpfs =
      made && ::fstatfs(shm.get(), &shmFs) == 0 && static_cast<std::uint32_t>(shmFs.f_type) == kTmpfsMagic;
  shm.reset();
  std::vector<Case> cases = {
      {"procfs", "/proc/version", CacheTrust::FileSystem},
      {"sysfs", "/sys/kernel/uevent_seqnum", CacheTrust::FileSystem},
  };
  if (haveTmpfs) cases.push_back({"tmpfs", shmPattern, CacheTrust::Trusted});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScannedFile file;
    if (qelda::openScannedFile(c.path.string(), file) != 0) {
      ADD_FAILURE() << c.path << " could not be opened";
      continue;
    }
    const qelda::CacheTrustCheck check = qelda::checkCacheTrust(file);
    EXPECT_EQ(check.trust, c.expected) << qelda::describe(check.trust);
    if (c.expected == CacheTrust::Trusted) {
      EXPECT_EQ(check.mountId, uniqueMountIdOf(file.file.get()));
    }
  }
  if (made) ::unlink(shmPattern.c_str());
  if (!haveTmpfs) GTEST_SKIP() << "/dev/shm is no writable tmpfs; the tmpfs case did not run";
}

TEST_F(CacheTrustTest, KernelHandleIsNeverTrusted) {
  // As the engine opens a module through its kernel handle, and the flag alone on
  // a file that would otherwise be trusted.
  const Fd source(::open(file_.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(source.valid());
  const Mapping mapped(source.get(), 8192, PROT_READ, MAP_PRIVATE);
  ASSERT_TRUE(mapped.valid());
  ScannedFile handle;
  const int opened = qelda::openScannedFile(vxtest::mapFilesHandleOf(mapped.address(), mapped.size()), handle);
  if (opened == 0) {
    ASSERT_TRUE(handle.kernelHandle);
    EXPECT_EQ(qelda::checkCacheTrust(handle).trust, CacheTrust::KernelHandle);
  } else {
    EXPECT_EQ(opened, EPERM) << "only a lack of privilege may keep the handle shut";
  }

  ScannedFile flagged = openedAsEngine(file_);
  flagged.kernelHandle = true;
  const qelda::CacheTrustCheck check = qelda::checkCacheTrust(flagged);
  EXPECT_EQ(check.trust, CacheTrust::KernelHandle);
  EXPECT_EQ(check.mountId, 0u);
  if (opened != 0) GTEST_SKIP() << "map_files handles need CAP_SYS_ADMIN; only the flag was checked";
}

// A file on a loop device: its image, a file of its own, can be written beneath
// the file system. Built in a child's private mount namespace, so that nothing of
// it is seen outside and the mount goes with the child.
TEST_F(CacheTrustTest, FileOnLoopDeviceIsOnImageDevice) {
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device and mounting need root";
  const char* mkfs = nullptr;
  for (const char* candidate : {"/usr/sbin/mkfs.ext4", "/sbin/mkfs.ext4"}) {
    if (::access(candidate, X_OK) == 0) {
      mkfs = candidate;
      break;
    }
  }
  if (mkfs == nullptr) GTEST_SKIP() << "no mkfs.ext4 to make the image with";

  const std::string image = (folder_.path() / "image.ext4").string();
  {
    const Fd created(::open(image.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ASSERT_TRUE(created.valid());
    ASSERT_EQ(::ftruncate(created.get(), 16 << 20), 0);
  }
  const char* const arguments[] = {mkfs, "-q", "-F", image.c_str(), nullptr};
  pid_t maker = -1;
  ASSERT_EQ(::posix_spawn(&maker, mkfs, nullptr, nullptr, const_cast<char* const*>(arguments), environ), 0);
  int made = 0;
  ASSERT_EQ(::waitpid(maker, &made, 0), maker);
  ASSERT_TRUE(WIFEXITED(made) && WEXITSTATUS(made) == 0) << "mkfs.ext4 failed";

  const Fd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
  if (!control.valid()) GTEST_SKIP() << "no /dev/loop-control";
  const Fd backing(::open(image.c_str(), O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(backing.valid());
  // Another program may take the free device first: then ask again, a few times.
  Fd loop;
  std::string loopPath;
  for (int attempt = 0; attempt < 8 && !loop.valid(); ++attempt) {
    const int number = ::ioctl(control.get(), LOOP_CTL_GET_FREE);
    if (number < 0) GTEST_SKIP() << "no free loop device";
    loopPath = "/dev/loop" + std::to_string(number);
    Fd candidate(::open(loopPath.c_str(), O_RDWR | O_CLOEXEC));
    if (!candidate.valid()) GTEST_SKIP() << loopPath << " cannot be opened";
    loop_config config{};
    config.fd = static_cast<std::uint32_t>(backing.get());
    config.info.lo_flags = LO_FLAGS_AUTOCLEAR;  // detached once unmounted and closed
    if (::ioctl(candidate.get(), LOOP_CONFIGURE, &config) == 0) loop = std::move(candidate);
  }
  ASSERT_TRUE(loop.valid()) << "no loop device could be attached";

  const std::string mountPoint = (folder_.path() / "mnt").string();
  ASSERT_EQ(::mkdir(mountPoint.c_str(), 0700), 0);
  enum : int { kNoNamespace = 2, kNoMount = 3, kNoFile = 4, kNotOnLoop = 5 };
  Child child([&] {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
      return int{kNoNamespace};
    if (::mount(loopPath.c_str(), mountPoint.c_str(), "ext4", 0, nullptr) != 0) return int{kNoMount};
    const std::string path = mountPoint + "/on-image.bin";
    const Fd written(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!written.valid() || ::write(written.get(), "image", 5) != 5) return int{kNoFile};
    ScannedFile file;
    if (qelda::openScannedFile(path, file) != 0) return int{kNoFile};
    if (major(file.opened.st_dev) != 7) return int{kNotOnLoop};
    return exitCodeOf(qelda::checkCacheTrust(file).trust);
  });
  ASSERT_TRUE(child.started());
  const std::optional<int> status = child.wait();
  if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == kNoNamespace)
    GTEST_SKIP() << "no private mount namespace could be made";
  if (status && WIFEXITED(*status) && WEXITSTATUS(*status) == kNoMount)
    GTEST_SKIP() << "the ext4 image could not be mounted";
  const std::optional<CacheTrust> trust = trustOfExit(status);
  ASSERT_TRUE(trust) << "the child " << statusText(status);
  EXPECT_EQ(*trust, CacheTrust::ImageDevice) << qelda::describe(*trust);
}

// ---- Writers ----

// Who else has the file, and whether the read lease then finds a writer.
TEST_F(CacheTrustTest, WritersAreFoundWhoeverHoldsThem) {
  if (!kernelHasUniqueMountIds()) GTEST_SKIP() << "the kernel gives no unique mount ids (before Linux 6.8)";
  // What a case holds for the time of the check: descriptors, a mapping whose
  // descriptor was closed already, another process.
  struct Held {
    Fd fd;
    std::optional<Mapping> mapping;
    std::optional<OtherProcessHolding> other;
  };
  struct Case {
    const char* what;
    std::function<bool(const std::string&, Held&)> hold;  // false when it could not be set up
    CacheTrust expected;
  };
  const auto openHere = [](int flags) {
    return [flags](const std::string& path, Held& held) {
      held.fd.reset(::open(path.c_str(), flags | O_CLOEXEC));
      return held.fd.valid();
    };
  };
  const auto mapHere = [](int openFlags, int protection, int mapFlags) {
    return [=](const std::string& path, Held& held) {
      const Fd fd(::open(path.c_str(), openFlags | O_CLOEXEC));
      if (!fd.valid()) return false;
      held.mapping.emplace(fd.get(), 8192, protection, mapFlags);
      return held.mapping->valid();
    };
  };
  const auto openElsewhere = [](int flags) {
    return [flags](const std::string& path, Held& held) {
      held.other.emplace(path, flags);
      return held.other->holding();
    };
  };
  const std::vector<Case> cases = {
      {"nobody else", [](const std::string&, Held&) { return true; }, CacheTrust::Trusted},
      {"this process, another descriptor for reading", openHere(O_RDONLY), CacheTrust::Trusted},
      {"this process, another descriptor for writing", openHere(O_WRONLY), CacheTrust::Writer},
      {"this process, another descriptor for reading and writing", openHere(O_RDWR), CacheTrust::Writer},
      {"another process, for reading", openElsewhere(O_RDONLY), CacheTrust::Trusted},
      {"another process, for writing", openElsewhere(O_WRONLY), CacheTrust::Writer},
      {"another process, for appending", openElsewhere(O_WRONLY | O_APPEND), CacheTrust::Writer},
      {"shared writable mapping, descriptor closed", mapHere(O_RDWR, PROT_READ | PROT_WRITE, MAP_SHARED),
       CacheTrust::Writer},
      {"shared read-only mapping of a read-write descriptor, closed", mapHere(O_RDWR, PROT_READ, MAP_SHARED),
       CacheTrust::Writer},
      {"shared read-only mapping", mapHere(O_RDONLY, PROT_READ, MAP_SHARED), CacheTrust::Trusted},
      {"private writable mapping", mapHere(O_RDONLY, PROT_READ | PROT_WRITE, MAP_PRIVATE), CacheTrust::Trusted},
  };
  const ScannedFile file = openedAsEngine(file_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Held held;
    ASSERT_TRUE(c.hold(file_.string(), held));
    const qelda::CacheTrustCheck check = qelda::checkCacheTrust(file);
    EXPECT_EQ(check.trust, c.expected) << qelda::describe(check.trust);
    EXPECT_EQ(check.mountId != 0, c.expected == CacheTrust::Trusted);
  }
  // Nothing of the cases outlived them.
  EXPECT_EQ(qelda::checkCacheTrust(file).trust, CacheTrust::Trusted);
}

TEST_F(CacheTrustTest, FileIsTrustedAgainOnceItsWriterClosedIt) {
  if (!kernelHasUniqueMountIds()) GTEST_SKIP() << "the kernel gives no unique mount ids (before Linux 6.8)";
  const ScannedFile file = openedAsEngine(file_);
  OtherProcessHolding writer(file_.string(), O_WRONLY);
  ASSERT_TRUE(writer.holding());
  EXPECT_EQ(qelda::checkCacheTrust(file).trust, CacheTrust::Writer);
  ASSERT_TRUE(writer.release());
  EXPECT_EQ(qelda::checkCacheTrust(file).trust, CacheTrust::Trusted);
}

// Without CAP_LEASE a lease on another user's file is refused (EACCES), which
// says nothing about writers.
TEST_F(CacheTrustTest, LeaseRefusedForLackOfPrivilegeIsUnchecked) {
  if (!kernelHasUniqueMountIds()) GTEST_SKIP() << "the kernel gives no unique mount ids (before Linux 6.8)";
  if (::geteuid() != 0) GTEST_SKIP() << "giving the file to another user needs root";
  ASSERT_EQ(::chown(file_.c_str(), 65534, 65534), 0);
  const ScannedFile file = openedAsEngine(file_);
  ASSERT_EQ(qelda::checkCacheTrust(file).trust, CacheTrust::Trusted) << "root may lease any file";

  Child child([&] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) return 1;
    data[CAP_LEASE / 32].effective &= ~(1U << (CAP_LEASE % 32));
    if (::syscall(SYS_capset, &header, data) != 0) return 1;
    return exitCodeOf(qelda::checkCacheTrust(file).trust);
  });
  ASSERT_TRUE(child.started());
  const std::optional<int> status = child.wait();
  const std::optional<CacheTrust> trust = trustOfExit(status);
  ASSERT_TRUE(trust) << "the child " << statusText(status);
  EXPECT_EQ(*trust, CacheTrust::Unchecked) << qelda::describe(*trust);
}

// A writer opening the file while a check holds its lease breaks the lease, and
// the kernel signals the checking process. The checks run in a child, standing
// for the host, so that a signal that ends it fails this test instead of ending
// the test program. The child blocks SIGURG to see, once the writer is done,
// whether a break happened at all.
TEST_F(CacheTrustTest, LeaseBrokenByWriterDoesNotEndTheProcess) {
  if (!kernelHasUniqueMountIds()) GTEST_SKIP() << "the kernel gives no unique mount ids (before Linux 6.8)";
  struct sigaction io {};
  ASSERT_EQ(::sigaction(SIGIO, nullptr, &io), 0);
  if (io.sa_handler != SIG_DFL) GTEST_SKIP() << "SIGIO is handled here, so it could not end the process";

  // The writer's opens and the checks each stop at a fixed count at the latest.
  constexpr int kMostOpens = 200'000;
  constexpr int kMostChecks = 2'000'000;
  const std::string path = file_.string();
  const ScannedFile file = openedAsEngine(file_);
  Pipe writerDone;  // the writer holds its write end until it ends
  Pipe stopWriter;  // closed by the checker once it saw a break
  Child writer([&] {
    writerDone.read.reset();
    stopWriter.write.reset();
    for (int i = 0; i < kMostOpens && !pipeEnded(stopWriter.read.get()); ++i) {
      const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0 && errno != EINTR) return 1;
      if (fd >= 0) ::close(fd);
    }
    return 0;
  });
  ASSERT_TRUE(writer.started());
  writerDone.write.reset();
  enum : int { kBroken = 0, kNoBreak = 2, kOddAnswer = 3, kNoMask = 4 };
  Child checker([&] {
    stopWriter.read.reset();
    sigset_t urgent;
    sigemptyset(&urgent);
    sigaddset(&urgent, SIGURG);
    if (::sigprocmask(SIG_BLOCK, &urgent, nullptr) != 0) return int{kNoMask};
    bool broken = false;
    for (int i = 0; i < kMostChecks && !pipeEnded(writerDone.read.get()); ++i) {
      const CacheTrust trust = qelda::checkCacheTrust(file).trust;
      if (trust != CacheTrust::Trusted && trust != CacheTrust::Writer) return int{kOddAnswer};
      sigset_t pending;
      if (!broken && ::sigpending(&pending) == 0 && sigismember(&pending, SIGURG) == 1) {
        broken = true;
        stopWriter.write.reset();
      }
    }
    return int{broken ? kBroken : kNoBreak};
  });
  ASSERT_TRUE(checker.started());
  writerDone.read.reset();
  stopWriter.read.reset();
  stopWriter.write.reset();

  const std::optional<int> checked = checker.wait();
  const std::optional<int> wrote = writer.wait();
  ASSERT_TRUE(checked && WIFEXITED(*checked)) << "the checking process " << statusText(checked);
  EXPECT_TRUE(wrote && WIFEXITED(*wrote) && WEXITSTATUS(*wrote) == 0) << "the writer " << statusText(wrote);
  EXPECT_NE(WEXITSTATUS(*checked), kOddAnswer) << "a check gave neither Trusted nor Writer";
  EXPECT_NE(WEXITSTATUS(*checked), kNoMask);
  if (WEXITSTATUS(*checked) == kNoBreak) GTEST_SKIP() << "no open of the writer came while a lease was held";
  EXPECT_EQ(WEXITSTATUS(*checked), kBroken);
}

// ---- Texts ----

TEST(CacheTrust, EveryValueIsDescribedApart) {
  const CacheTrust all[] = {CacheTrust::Trusted,     CacheTrust::KernelHandle, CacheTrust::FileSystem,
                            CacheTrust::ImageDevice, CacheTrust::Writer,       CacheTrust::Unchecked,
                            CacheTrust::NoMountId};
  std::set<std::string> texts;
  for (const CacheTrust trust : all) {
    const char* text = qelda::describe(trust);
    ASSERT_NE(text, nullptr);
    EXPECT_FALSE(std::string(text).empty()) << static_cast<int>(trust);
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), std::size(all));
  EXPECT_STREQ(qelda::describe(CacheTrust::Writer), "held open for writing");
}

// ---- Runtime identity ----

// First among the identity's tests, so that, run alone, the threads race for its
// first computation.
TEST(CacheTrustRuntimeIdentity, ThreadsAskingAtOnceAllGetTheSameIdentity) {
  constexpr int kThreads = 8;
  std::latch start(kThreads);
  std::vector<std::optional<std::array<std::uint8_t, 32>>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      seen[i] = qelda::cacheRuntimeIdentity();
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(seen[0].has_value());
  for (const auto& identity : seen) EXPECT_EQ(identity, seen[0]);
}

TEST(CacheTrustRuntimeIdentity, IsStableAndNotEmpty) {
  const auto first = qelda::cacheRuntimeIdentity();
  ASSERT_TRUE(first.has_value()) << "boot id, engine or libyara build could not be identified";
  EXPECT_NE(*first, (std::array<std::uint8_t, 32>{}));
  EXPECT_EQ(qelda::cacheRuntimeIdentity(), first);
}

}  // namespace
