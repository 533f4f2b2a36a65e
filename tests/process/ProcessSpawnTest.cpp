// Starting a child as root: which files may start, what the child inherits, and
// a host whose own priority is lowered.
#include "process/ProcessSpawn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/UniqueFileDescriptor.h"
#include "process/CreateProcessHelper.h"
#include "process/VxTask.h"
#include "tests/process/ProcessTestSupport.h"
#include "tests/support/CaptureLog.h"

namespace {

constexpr uid_t kNobody = 65534;

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

using vxtest::CountingTask;

bool makeFolder(const std::string& path, mode_t mode) {
  return mkdir(path.c_str(), 0700) == 0 && chmod(path.c_str(), mode) == 0;
}

// How an attacker (or a careless install) left the tool; the path to start,
// or empty when the setting up failed.
struct TrustCase {
  const char* what;
  bool needsRoot;  // the case gives a file or a folder to another user
  std::function<std::string(const std::string& scratch)> plant;
  std::string offender;  // below the scratch folder; empty when the tool starts
  const char* why;
};

std::string plantTool(const std::string& path, mode_t mode, uid_t owner = 0) {
  if (!vxtest::copyArgvWriter(path, mode)) return {};
  if (owner != 0 && (chown(path.c_str(), owner, owner) != 0 || chmod(path.c_str(), mode) != 0)) return {};
  return path;
}

const std::vector<TrustCase>& trustCases() {
  static const std::vector<TrustCase> cases = {
      {"tool owned by another user", true,
       [](const std::string& s) { return plantTool(s + "/Sifter.exe", 0755, kNobody); },
       "Sifter.exe", "owned by another user"},
      {"folder owned by another user", true,
       [](const std::string& s) {
         if (!makeFolder(s + "/bin", 0755) || chown((s + "/bin").c_str(), kNobody, kNobody) != 0) return std::string();
         return plantTool(s + "/bin/Sifter.exe", 0755);
       },
       "bin", "owned by another user"},
      {"tool another user dropped into a sticky world-writable folder", true,
       [](const std::string& s) {
         if (!makeFolder(s + "/tmp", 01777)) return std::string();
         return plantTool(s + "/tmp/Sifter.exe", 0755, kNobody);
       },
       "tmp/Sifter.exe", "owned by another user"},
      {"tool writable by its group", false,
       [](const std::string& s) { return plantTool(s + "/Sifter.exe", 0775); }, "Sifter.exe",
       "writable by others"},
      {"tool writable by anyone", false,
       [](const std::string& s) { return plantTool(s + "/Sifter.exe", 0757); }, "Sifter.exe",
       "writable by others"},
      {"folder writable by anyone, not sticky", false,
       [](const std::string& s) {
         if (!makeFolder(s + "/open", 0777)) return std::string();
         return plantTool(s + "/open/Sifter.exe", 0755);
       },
       "open", "writable by others"},
      {"a link as a middle folder", false,
       [](const std::string& s) {
         if (!makeFolder(s + "/real", 0755) || !makeFolder(s + "/real/inner", 0755) ||
             symlink("real", (s + "/via").c_str()) != 0 || plantTool(s + "/real/inner/Sifter.exe", 0755).empty()) {
           return std::string();
         }
         return s + "/via/inner/Sifter.exe";
       },
       "via", "reached through a symbolic link"},
      {"root's own tool in a sticky world-writable folder starts", false,
       [](const std::string& s) {
         if (!makeFolder(s + "/tmp", 01777)) return std::string();
         return plantTool(s + "/tmp/Sifter.exe", 0755);
       },
       "", ""},
  };
  return cases;
}

// Starts each planted tool through a signature-tested task: a refused one is
// refused (5, logged with its reason) before its signature is looked at and
// never runs; an accepted one is tested and runs.
void runTrustCases(bool rootCases) {
  for (const TrustCase& c : trustCases()) {
    if (c.needsRoot != rootCases) continue;
    SCOPED_TRACE(c.what);
    vxtest::ScratchFolder scratch;
    const std::string path = c.plant(scratch.path());
    ASSERT_FALSE(path.empty());
    const std::string out = scratch.file("ran");
    vxtest::LogCapture capture;
    CountingTask task(wide(path), wide(out));
    const VxNAResult<std::uint32_t> outcome = task.run();
    if (c.offender.empty()) {
      EXPECT_TRUE(outcome.ok) << outcome.error;
      EXPECT_EQ(outcome.value, 0u);
      EXPECT_EQ(task.validations, 1);
      EXPECT_TRUE(std::filesystem::exists(out));
      continue;
    }
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, 5u);
    EXPECT_EQ(task.validations, 0);
    EXPECT_FALSE(std::filesystem::exists(out));
    const vxtest::LogEntry entry = capture->find(L"Refused to start " + wide(path) + L": " +
                                                 wide(scratch.file(c.offender)) + L": " + wide(c.why) +
                                                 L". ErrorCode: 5");
    EXPECT_EQ(entry.severity, VX_LOG_ERROR);
    EXPECT_EQ(entry.function, L"vxprocess::openExecutable");
  }
}

TEST(ProcessSpawnTest, ToolsOthersCouldWriteAreRefusedBeforeTheirSignature) { runTrustCases(false); }

TEST(ProcessSpawnTest, ToolsOfAnotherUserAreRefusedBeforeTheirSignature) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a file to another user needs root";
  runTrustCases(true);
}

// The descriptors 0..2 this process has open: all a child may have.
std::vector<std::string> standardDescriptors() {
  std::vector<std::string> open;
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) != -1) open.push_back(std::to_string(descriptor));
  }
  return open;
}

// Reads a FIFO to its end, the writer being a child that the test starts
// after the reading end is open. Empty after the deadline.
std::string readFifo(const std::string& fifo, const std::function<void()>& startWriter) {
  const platform::UniqueFileDescriptor reader(open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!reader.valid()) return {};
  startWriter();
  std::string received;
  pollfd ready{reader.get(), POLLIN, 0};
  bool writerSeen = false;
  while (poll(&ready, 1, 60000) > 0) {
    char buffer[256];
    const ssize_t got = read(reader.get(), buffer, sizeof buffer);
    if (got > 0) {
      received.append(buffer, static_cast<std::size_t>(got));
      writerSeen = true;
    } else if (got == 0 && (writerSeen || (ready.revents & POLLHUP) != 0)) {
      break;
    }
  }
  return received;
}

// The host holds files open that are not close-on-exec, as a shell's
// "exec 7</etc/hostname 8>secret.log" leaves them: a child started waiting,
// or detached, lists none of them.
TEST(ProcessSpawnTest, TheHostsInheritableDescriptorsDoNotReachTheChild) {
  vxtest::ScratchFolder scratch;
  const std::string secret = scratch.file("secret.log");
  const platform::UniqueFileDescriptor low(open(secret.c_str(), O_WRONLY | O_CREAT, 0600));
  ASSERT_TRUE(low.valid());
  const platform::UniqueFileDescriptor high(fcntl(low.get(), F_DUPFD, 200));
  ASSERT_TRUE(high.valid());
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const platform::UniqueFileDescriptor pipeRead(ends[0]);
  const platform::UniqueFileDescriptor pipeWrite(ends[1]);

  struct Case {
    const char* what;
    bool wait;
  };
  for (const Case c : {Case{"waited for", true}, Case{"detached", false}}) {
    SCOPED_TRACE(c.what);
    const std::string fifo = scratch.file(std::string("fds-") + (c.wait ? "w" : "d"));
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    VxNAResult<std::uint32_t> outcome;
    const std::string listed = readFifo(fifo, [&] {
      CountingTask task(vxtest::argvWriterPathWide(), L"--fds " + wide(fifo), c.wait);
      outcome = task.run();
    });
    EXPECT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(outcome.value, 0u);
    std::vector<std::string> descriptors;
    for (std::size_t start = 0, end; (end = listed.find('\0', start)) != std::string::npos; start = end + 1) {
      descriptors.push_back(listed.substr(start, end - start));
    }
    EXPECT_EQ(descriptors, standardDescriptors());
  }
}

// Where the kernel has no close_range (or none that marks close-on-exec), the
// walk of /proc/self/fd does the same: run in a forked process, both ways
// leave every descriptor above 2 close-on-exec and 0..2 as they were.
TEST(ProcessSpawnTest, BothWaysOfMarkingReachEveryDescriptor) {
  for (const bool walkOnly : {false, true}) {
    SCOPED_TRACE(walkOnly ? "walk of /proc/self/fd" : "close_range");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      const int low = open("/dev/null", O_RDONLY);
      const int high = low < 0 ? -1 : fcntl(low, F_DUPFD, 300);
      const int standard = fcntl(0, F_GETFD);
      if (high < 0 || vxprocess::markDescriptorsCloseOnExec(walkOnly) != 0) _exit(2);
      if (fcntl(low, F_GETFD) != FD_CLOEXEC || fcntl(high, F_GETFD) != FD_CLOEXEC) _exit(3);
      _exit(fcntl(0, F_GETFD) == standard ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}

// Takes CAP_SYS_NICE from this process, so that it cannot lower a nice value.
bool dropNiceCapability() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const unsigned bit = 1u << (CAP_SYS_NICE % 32);
  data[CAP_SYS_NICE / 32].effective &= ~bit;
  data[CAP_SYS_NICE / 32].permitted &= ~bit;
  data[CAP_SYS_NICE / 32].inheritable &= ~bit;
  return syscall(SYS_capset, &header, data) == 0;
}

// A host that runs nice'd (and may not lower its children's nice value) still
// starts a tool meant for normal priority: the tool runs at the host's nice
// value and the start logs a warning. The host is a forked process, so that
// this test process keeps its own priority.
TEST(ProcessSpawnTest, ANicedHostStillStartsANormalPriorityTool) {
  vxtest::ScratchFolder scratch;
  const std::string out = scratch.file("report");
  const pid_t host = fork();
  ASSERT_GE(host, 0);
  if (host == 0) {
    if (!dropNiceCapability() || setpriority(PRIO_PROCESS, 0, 10) != 0) _exit(2);
    vxtest::LogCapture capture;
    CVxExeTask task(wide(vxtest::argvWriterPath()), wide(out), true, false);
    task.setPriority(vxprocess::NORMAL_PRIORITY_CLASS);
    const VxNAResult<std::uint32_t> outcome = task.run();
    if (!outcome.ok || outcome.value != 0) _exit(3);
    for (const vxtest::LogEntry& entry : capture->entries()) {
      if (entry.function == L"vxprocess::spawnProcess" && entry.severity == VX_LOG_WARNING &&
          entry.message.find(L"the nice value 0; it runs at the priority it inherited. ErrorCode: 5") !=
              std::wstring::npos) {
        _exit(0);
      }
    }
    _exit(4);
  }
  int status = 0;
  ASSERT_EQ(waitpid(host, &status, 0), host);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: could not nice the host, 3: the start failed, 4: no warning";
  vxtest::ChildReport report;
  ASSERT_TRUE(vxtest::readChildReport(out, report));
  EXPECT_EQ(report.nice, 10);
}

}  // namespace
