#include "process/VxTask.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "process/CommandLine.h"
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "tests/process/ProcessTestSupport.h"
#include "tests/support/CaptureLog.h"

namespace {

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring testFolder() {
  const std::string path = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
  return wide(path);
}

// A task whose work the test gives.
class ProbeTask : public CVxTask {
 protected:
  VxNAResult<std::uint32_t> execute() override { return VxNAResult<std::uint32_t>(42u); }
};

TEST(VxTaskTest, ModulePathResolvesAgainstTheHostFolder) {
  ProbeTask task;
  struct Case {
    std::wstring path;
    std::uint32_t result;
    std::wstring after;
  };
  const Case cases[] = {
      {L"./tool.exe", 0, testFolder() + L"/tool.exe"},
      {L"/opt/tool.exe", 1168, L"/opt/tool.exe"},
      {L"tool.exe", 1168, L"tool.exe"},
      {L".\\tool.exe", 1168, L".\\tool.exe"},
      {L"", 87, L""},
  };
  for (const Case& c : cases) {
    std::wstring path = c.path;
    EXPECT_EQ(task.parseModulePath(path), c.result) << c.path;
    EXPECT_EQ(path, c.after) << c.path;
  }
}

TEST(VxTaskTest, EnvironmentPathExpandsOneVariable) {
  ASSERT_EQ(setenv("VX_TASK_TEST_DIR", "/var/tmp%x", 1), 0);
  unsetenv("VX_TASK_TEST_UNSET");
  ProbeTask task;
  struct Case {
    std::wstring path;
    std::uint32_t result;
    std::wstring after;
  };
  const Case cases[] = {
      {L"%VX_TASK_TEST_DIR%/x.exe", 0, L"/var/tmp%x/x.exe"},
      {L"/a/%VX_TASK_TEST_DIR%/b%c%", 0, L"/a//var/tmp%x/bc"},
      // The variable's own place is replaced, not an earlier text of its name.
      {L"VX_TASK_TEST_DIR/%VX_TASK_TEST_DIR%", 0, L"VX_TASK_TEST_DIR//var/tmp%x"},
      {L"%VX_TASK_TEST_UNSET%/x", 0, L"/x"},
      {L"/opt/x.exe", 1168, L"/opt/x.exe"},
      {L"/opt/50%/x.exe", 87, L"/opt/50%/x.exe"},
      {L"", 87, L""},
  };
  for (const Case& c : cases) {
    std::wstring path = c.path;
    EXPECT_EQ(task.parseEnvironmentPath(path), c.result) << c.path;
    EXPECT_EQ(path, c.after) << c.path;
  }
}

TEST(VxTaskTest, RunStoresTheOutcomeAndWakesAWaiter) {
  ProbeTask task;
  VxNAResult<std::uint32_t> seen;
  std::thread waiter([&] {
    task.waitForCompletion();
    seen = task.getResult();
  });
  const VxNAResult<std::uint32_t> outcome = task.run();
  waiter.join();
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.value, 42u);
  EXPECT_EQ(seen.value, 42u);
}

// Runs the helper with arguments and returns what it reported.
vxtest::ChildReport runWriter(const std::wstring& path, const std::wstring& arguments,
                              std::uint32_t priority, const std::string& out) {
  CVxExeTask task(path, wide(out) + (arguments.empty() ? L"" : L" " + arguments), true, false);
  task.setPriority(priority);
  const VxNAResult<std::uint32_t> outcome = task.run();
  EXPECT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.value, 0u);
  vxtest::ChildReport report;
  EXPECT_TRUE(vxtest::readChildReport(out, report));
  return report;
}

TEST(VxTaskTest, StartsADotSlashPathAtItsPriority) {
  vxtest::LogCapture capture;
  vxtest::ScratchFolder scratch;
  const vxtest::ChildReport idle =
      runWriter(L"./vx_argv_writer", L"", vxprocess::IDLE_PRIORITY_CLASS, scratch.file("idle"));
  EXPECT_EQ(idle.nice, 19);
  const std::wstring folder = testFolder();
  EXPECT_EQ(idle.folder, std::string(folder.begin(), folder.end()));
  EXPECT_TRUE(capture->contains(L"Module Parse Path: " + testFolder() + L"/vx_argv_writer",
                                VX_LOG_WARNING));
  const vxtest::ChildReport normal =
      runWriter(vxtest::argvWriterPathWide(), L"", vxprocess::NORMAL_PRIORITY_CLASS,
                scratch.file("normal"));
  EXPECT_EQ(normal.nice, 0);
}

TEST(VxTaskTest, ArgumentsWithQuotesAndBlanksArriveIntact) {
  vxtest::ScratchFolder scratch;
  const std::vector<std::string> arguments = {"two words", "", "quote\"in", "end\\", "a\\\\\"b",
                                              "\t", "plain"};
  std::wstring line;
  for (const std::string& argument : arguments) {
    line += (line.empty() ? L"" : L" ") + vxprocess::quoteArgument(wide(argument));
  }
  const vxtest::ChildReport report = runWriter(vxtest::argvWriterPathWide(), line,
                                               vxprocess::NORMAL_PRIORITY_CLASS, scratch.file("a"));
  EXPECT_EQ(report.arguments, arguments);
}

TEST(VxTaskTest, WaitingReturnsTheExitCode) {
  vxtest::LogCapture capture;
  CVxExeTask task(vxtest::argvWriterPathWide(), L"--exit 7", true, false);
  const VxNAResult<std::uint32_t> outcome = task.run();
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.value, 7u);
  EXPECT_EQ(task.getResult().value, 7u);
  EXPECT_TRUE(capture->contains(L"CVxExeTask::runProcess.......Starting: CMD:--exit 7"));
}

// Without waiting, run returns 0 while the child still runs: the child blocks
// until the test reads its FIFO, which happens only after run returned.
TEST(VxTaskTest, NotWaitingReturnsAtOnceAndTheChildRunsOn) {
  vxtest::LogCapture capture;
  vxtest::ScratchFolder scratch;
  const std::string fifo = scratch.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  CVxExeTask task(vxtest::argvWriterPathWide(), L"--fifo " + wide(fifo), false, false);
  const VxNAResult<std::uint32_t> outcome = task.run();
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.value, 0u);
  EXPECT_TRUE(capture->contains(
      L"CVxExeTask::runProcess(): ASYNC: Not Waiting for process to  close....... "));

  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  std::string received;
  pollfd ready{reader, POLLIN, 0};
  while (received.size() < 5 && poll(&ready, 1, 60000) > 0) {
    char buffer[16];
    const ssize_t got = read(reader, buffer, sizeof buffer);
    if (got > 0) received.append(buffer, static_cast<std::size_t>(got));
    if (got == 0 && (ready.revents & POLLHUP) != 0) break;
  }
  close(reader);
  EXPECT_EQ(received, "alive");
  // The child was never ours to reap: nothing is left behind as a zombie.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

// Whether the task waits or not, a start that fails reports its error: one
// found before the start (missing folder) and one of the execution itself (a
// file without execute permission).
TEST(VxTaskTest, APathThatCannotStartReturnsItsError) {
  vxtest::ScratchFolder scratch;
  const std::string text = scratch.file("text");
  { std::ofstream(text) << "not a program"; }
  chmod(text.c_str(), 0644);
  struct Case {
    std::wstring path;
    std::uint32_t error;
  };
  const Case cases[] = {{L"/nonexistent-folder-vx/tool", 2}, {wide(text), 5}};
  for (const Case& c : cases) {
    for (const bool wait : {true, false}) {
      vxtest::LogCapture capture;
      CVxExeTask task(c.path, L"", wait, false);
      const VxNAResult<std::uint32_t> outcome = task.run();
      EXPECT_FALSE(outcome.ok) << c.path << wait;
      EXPECT_EQ(outcome.error, c.error) << c.path << wait;
      EXPECT_TRUE(capture->contains(L"CVxExeTask::runProcess()- ERROR:" + std::to_wstring(c.error) +
                                        L", Path:" + c.path,
                                    VX_LOG_ERROR));
    }
  }
}

TEST(VxTaskTest, AFileThatFailsTheSignatureTestNeverStarts) {
  vxtest::LogCapture capture;
  vxtest::ScratchFolder scratch;
  const std::string out = scratch.file("never");
  CVxExeTask task(vxtest::argvWriterPathWide(), wide(out), true, true);
  const VxNAResult<std::uint32_t> outcome = task.run();
  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.error, 1392u);
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_TRUE(capture->contains(L"Vexora process validation FAILED :- " + vxtest::argvWriterPathWide(),
                                VX_LOG_ERROR));
}

}  // namespace
