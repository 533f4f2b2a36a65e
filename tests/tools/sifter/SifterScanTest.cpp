// Sifter.exe collecting, run as the runner runs it, with its roots pointed at
// scratch folders of the test. The zip and XML tools of the system check what it
// writes from the outside.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>

#include "platform/UniqueFileDescriptor.h"
#include "tests/tools/sifter/SifterTestSupport.h"
#include "tools/sifter/SifterExitCode.h"

namespace {

namespace fs = std::filesystem;
using namespace sifter_test;
using sifter::ExitCode;
using sifter::toInt;

constexpr auto kExecutable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec;
constexpr auto kPlain = fs::perms::owner_read | fs::perms::owner_write;

constexpr char kWritableReason[] = "executable in world-writable folder";

// A program started with its stdin on a pipe of the test's: it stays alive,
// blocked in its read, until the test closes the pipe.
class WaitingProgram {
 public:
  explicit WaitingProgram(const fs::path& program) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    platform::UniqueFileDescriptor readEnd(ends[0]);
    input_.reset(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, readEnd.get(), STDIN_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::string path = program.string();
    char* argv[] = {path.data(), nullptr};
    char* envp[] = {nullptr};
    // posix_spawn returns once the program is executing, so /proc shows it
    // from then on.
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, envp) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~WaitingProgram() {
    if (pid_ <= 0) return;
    input_.reset();
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  WaitingProgram(const WaitingProgram&) = delete;
  WaitingProgram& operator=(const WaitingProgram&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  platform::UniqueFileDescriptor input_;
};

std::set<std::string> wordsOf(const std::string& text) {
  std::set<std::string> words;
  std::string::size_type start = 0;
  while (start < text.size()) {
    const auto end = text.find(' ', start);
    words.insert(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return words;
}

class SifterScanTest : public ::testing::Test {
 protected:
  SifterScanTest() : tool_(scratch_.path()) {
    fs::create_directories(writable());
    fs::create_directories(programs());
    fs::create_directories(output());
    fs::permissions(output(), fs::perms::owner_all);
    fs::create_directories(elsewhere());
  }

  fs::path writable() const { return scratch_.path() / "writable"; }
  fs::path programs() const { return scratch_.path() / "programs"; }
  fs::path output() const { return scratch_.path() / "output"; }
  fs::path elsewhere() const { return scratch_.path() / "elsewhere"; }

  // Settings whose roots are the scratch folders; extra lines go to [Scan].
  void configure(const std::string& extra = "Processes=0\n") {
    tool_.writeSettings("[Scan]\nWritableFolders=" + writable().string() + "\nProgramFolders=" + programs().string() +
                        "\n" + extra);
  }

  ChildProcess::Result scan() { return tool_.run({"--silent", "--offline", "--zippath=" + output().string()}); }

  std::map<std::string, ReportedFile> report() { return readFilesReport(output() / "Logs" / "Files.xml"); }

  fs::path zip() const { return output() / "Sifter.zip"; }

  // Everything the zip tool sees in the archive agrees with the report: the
  // entries are the report itself and exactly the archived files, each holding
  // the bytes whose digest the report gives.
  void expectArchiveMatchesReport() {
    const auto tested = runToEnd("/usr/bin/unzip", {"-t", zip().string()}, {});
    EXPECT_EQ(tested.exitCode, 0) << tested.out << tested.err;
    const auto listed = runToEnd("/usr/bin/unzip", {"-Z1", zip().string()}, {});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    std::set<std::string> entries;
    std::string::size_type start = 0;
    while (start < listed.out.size()) {
      const auto end = listed.out.find('\n', start);
      entries.insert(listed.out.substr(start, end - start));
      start = end + 1;
    }
    std::set<std::string> expected{"Files.xml"};
    for (const auto& [path, file] : report()) {
      if (file.archived != "true") continue;
      expected.insert(file.entry);
      const auto extracted = runToEnd("/usr/bin/unzip", {"-p", zip().string(), file.entry}, {});
      EXPECT_EQ(extracted.exitCode, 0) << file.entry;
      EXPECT_EQ(sha256Hex(extracted.out), file.sha256) << path;
      EXPECT_EQ(std::to_string(extracted.out.size()), file.size) << path;
    }
    EXPECT_EQ(entries, expected);
    const auto packedReport = runToEnd("/usr/bin/unzip", {"-p", zip().string(), "Files.xml"}, {});
    EXPECT_EQ(packedReport.out, readBytes(output() / "Logs" / "Files.xml"));
  }

  void expectWellFormedDocuments() {
    for (const auto& document : {output() / "Logs" / "Files.xml", output() / "Sifter.xml"}) {
      const auto linted = runToEnd("/usr/bin/xmllint", {"--noout", document.string()}, {});
      EXPECT_EQ(linted.exitCode, 0) << document << linted.err;
    }
    EXPECT_EQ(readZipPath(output() / "Sifter.xml"), zip().string());
  }

  ScratchFolder scratch_;
  SifterInstall tool_;
};

TEST_F(SifterScanTest, CollectsWhatRunsFromWritableFoldersAndNothingElse) {
  const std::string elfImage = std::string("\x7F" "ELF\x02\x01\x01", 7) + std::string(500, '\x5A');
  const std::map<std::string, std::pair<std::string, fs::perms>> suspicious{
      {"tool", {"plain text, yet executable\n", kExecutable}},
      {"image-without-exec-bit", {elfImage, kPlain}},
      {"script-without-exec-bit", {"#!/bin/sh\necho hello\n", kPlain}},
      {"nested/deeper/dropper", {std::string(70000, '\x01'), kExecutable}},
      {std::string("bad\xFF\x01name\\x41 \xC3\xA9"), {"odd name\n", kExecutable}},
      {"empty-but-executable", {"", kExecutable}},
  };
  fs::create_directories(writable() / "nested" / "deeper");
  for (const auto& [name, content] : suspicious) writeBytes(writable() / name, content.first, content.second);
  // Not collected: data, links (to a program elsewhere, to a folder holding
  // one), a pipe that would block whoever opened it.
  writeBytes(writable() / "notes.txt", "just data\n", kPlain);
  writeBytes(elsewhere() / "program", elfImage, kExecutable);
  fs::create_symlink(elsewhere() / "program", writable() / "link-to-program");
  fs::create_directory_symlink(elsewhere(), writable() / "linked-folder");
  ASSERT_EQ(mkfifo((writable() / "pipe").c_str(), 0755), 0);
  configure();

  const auto result = scan();
  ASSERT_EQ(result.exitCode, toInt(ExitCode::Success)) << result.err;
  EXPECT_NE(result.err.find("Sifter: "), std::string::npos);

  const auto files = report();
  std::set<std::string> expectedPaths;
  for (const auto& [name, content] : suspicious) expectedPaths.insert((writable() / name).string());
  std::set<std::string> reportedPaths;
  for (const auto& [path, file] : files) reportedPaths.insert(path);
  EXPECT_EQ(reportedPaths, expectedPaths);
  for (const auto& [name, content] : suspicious) {
    const auto found = files.find((writable() / name).string());
    if (found == files.end()) continue;
    const auto& file = found->second;
    EXPECT_EQ(file.reason, kWritableReason) << name;
    EXPECT_EQ(file.archived, "true") << name;
    EXPECT_EQ(file.size, std::to_string(content.first.size())) << name;
    EXPECT_EQ(file.sha256, sha256Hex(content.first)) << name;
  }
  expectArchiveMatchesReport();
  expectWellFormedDocuments();
  // No staging copies stay behind.
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(output())) left.insert(entry.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"Logs", "Sifter.xml", "Sifter.zip"}));
}

TEST_F(SifterScanTest, NothingFoundStillGivesCompleteOutput) {
  writeBytes(writable() / "notes.txt", "just data\n", kPlain);
  configure();
  const auto result = scan();
  ASSERT_EQ(result.exitCode, toInt(ExitCode::Success)) << result.err;
  EXPECT_TRUE(report().empty());
  expectArchiveMatchesReport();
  expectWellFormedDocuments();
}

TEST_F(SifterScanTest, CollectsRecentlyChangedSetIdProgramsOnly) {
  writeBytes(programs() / "setuid", "uid\n", kExecutable);
  writeBytes(programs() / "setgid", "gid\n", kExecutable);
  writeBytes(programs() / "both", "both\n", kExecutable);
  writeBytes(programs() / "ordinary", "ordinary\n", kExecutable);
  fs::permissions(programs() / "setuid", fs::perms::set_uid, fs::perm_options::add);
  fs::permissions(programs() / "setgid", fs::perms::set_gid, fs::perm_options::add);
  fs::permissions(programs() / "both", fs::perms::set_uid | fs::perms::set_gid, fs::perm_options::add);
  configure();
  ASSERT_EQ(scan().exitCode, 0);
  const auto files = report();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files.at((programs() / "setuid").string()).reason, "recently changed set-uid file");
  EXPECT_EQ(files.at((programs() / "setgid").string()).reason, "recently changed set-gid file");
  EXPECT_EQ(files.at((programs() / "both").string()).reason,
            "recently changed set-uid file; recently changed set-gid file");
  expectArchiveMatchesReport();
}

TEST_F(SifterScanTest, WalkStopsAtItsDepthLimit) {
  fs::create_directories(writable() / "one" / "two");
  writeBytes(writable() / "top", "#!/bin/sh\n", kPlain);
  writeBytes(writable() / "one" / "first", "#!/bin/sh\n", kPlain);
  writeBytes(writable() / "one" / "two" / "second", "#!/bin/sh\n", kPlain);
  configure("Processes=0\nMaxDepth=1\n");
  ASSERT_EQ(scan().exitCode, 0);
  const auto files = report();
  EXPECT_EQ(files.size(), 2u);
  EXPECT_FALSE(files.contains((writable() / "one" / "two" / "second").string()));
}

TEST_F(SifterScanTest, FilesAboveTheLimitsAreListedButNotArchived) {
  writeBytes(writable() / "small", std::string(100, 'a'), kExecutable);
  writeBytes(writable() / "large", std::string(300, 'b'), kExecutable);
  configure("Processes=0\nMaxFileSize=200\n");
  ASSERT_EQ(scan().exitCode, 0);
  auto files = report();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files.at((writable() / "small").string()).archived, "true");
  const auto large = files.at((writable() / "large").string());
  EXPECT_EQ(large.archived, "false");
  EXPECT_EQ(large.size, "300");
  EXPECT_EQ(large.sha256, "");
  EXPECT_EQ(large.note, "larger than the per-file limit");
  expectArchiveMatchesReport();

  // A total limit lets in what fits, whichever files those are.
  configure("Processes=0\nMaxTotalSize=350\n");
  ASSERT_EQ(scan().exitCode, 0);
  files = report();
  ASSERT_EQ(files.size(), 2u);
  EXPECT_NE(files.at((writable() / "small").string()).archived, files.at((writable() / "large").string()).archived);
  expectArchiveMatchesReport();
}

TEST_F(SifterScanTest, FindsAProcessRunningADeletedProgram) {
  const auto copy = elsewhere() / "waiting-program";
  fs::copy_file("/bin/cat", copy);
  const std::string original = readBytes(copy);
  WaitingProgram program(copy);
  ASSERT_GT(program.pid(), 0);
  fs::remove(copy);
  configure("Processes=1\n");

  ASSERT_EQ(scan().exitCode, 0);
  const auto files = report();
  const auto found = files.find(copy.string() + " (deleted)");
  ASSERT_NE(found, files.end());
  EXPECT_EQ(found->second.reason, "process runs deleted executable");
  EXPECT_TRUE(wordsOf(found->second.processes).contains(std::to_string(program.pid())));
  EXPECT_EQ(found->second.archived, "true");
  EXPECT_EQ(found->second.sha256, sha256Hex(original));
  expectArchiveMatchesReport();
}

TEST_F(SifterScanTest, AProgramFoundTwiceIsCollectedOnceWithBothReasons) {
  const auto copy = writable() / "running-program";
  fs::copy_file("/bin/cat", copy);
  WaitingProgram first(copy);
  WaitingProgram second(copy);
  ASSERT_GT(first.pid(), 0);
  ASSERT_GT(second.pid(), 0);
  configure("Processes=1\n");

  ASSERT_EQ(scan().exitCode, 0);
  const auto files = report();
  ASSERT_TRUE(files.contains(copy.string()));
  const auto& file = files.at(copy.string());
  EXPECT_EQ(file.reason, std::string("process runs from world-writable folder; ") + kWritableReason);
  EXPECT_EQ(wordsOf(file.processes), (std::set<std::string>{std::to_string(first.pid()), std::to_string(second.pid())}));
  expectArchiveMatchesReport();
}

// A collector runner's private folder holds the session folders of runs, this
// one's and concurrent ones', with the copies those runs stage: no walk enters
// one, at any depth. Only a folder with both the runner's name and its owner and
// mode is one; a folder that merely has such a name is walked as any other, or
// naming a folder so would hide it from every collection.
TEST_F(SifterScanTest, RunnerPrivateFoldersAreNotWalked) {
  constexpr auto kPrivate = fs::perms::owner_all;
  constexpr auto kOpen = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec;
  struct Case {
    const char* folder;  // below the writable root
    fs::perms mode;
    bool foreignOwner;
    bool collected;
  };
  const Case cases[] = {
      {"vxsifter.Ab12Cd", kPrivate, false, false},
      {"nested/vxsifter.Qw34Er", kPrivate, false, false},
      {"vxsifter.Ab12Ce", kOpen, false, true},
      {"vxsifter.Ab12Cf", kPrivate, true, true},
      {"vxsifter.Ab12C", kPrivate, false, true},
      {"vxsifter.Ab12Cde", kPrivate, false, true},
      {"vxsifter.Ab-2Cd", kPrivate, false, true},
      {"vxsifter-Ab12Cd", kPrivate, false, true},
  };
  const bool root = geteuid() == 0;
  std::set<std::string> expected;
  for (const Case& c : cases) {
    // Only root can give a folder away; elsewhere that case is left out.
    if (c.foreignOwner && !root) continue;
    const fs::path folder = writable() / c.folder;
    fs::create_directories(folder / "siftertmp7");
    writeBytes(folder / "siftertmp7" / "dropper", "#!/bin/sh\n", kExecutable);
    fs::permissions(folder, c.mode);
    if (c.foreignOwner) {
      ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
    }
    if (c.collected) expected.insert((folder / "siftertmp7" / "dropper").string());
  }
  configure();
  const auto result = scan();
  ASSERT_EQ(result.exitCode, toInt(ExitCode::Success)) << result.err;
  std::set<std::string> reported;
  for (const auto& [path, file] : report()) reported.insert(path);
  EXPECT_EQ(reported, expected);
}

TEST_F(SifterScanTest, RefusesAnUnusableOutputFolder) {
  configure();
  writeBytes(scratch_.path() / "a-file", "x", kPlain);
  fs::create_directory_symlink(output(), scratch_.path() / "link-to-output");
  fs::create_directories(scratch_.path() / "shared");
  fs::permissions(scratch_.path() / "shared", fs::perms::owner_all | fs::perms::group_all);
  // Its path goes into Sifter.xml as it is, so it has to be text.
  fs::create_directories(scratch_.path() / "not-text\xFF");
  fs::permissions(scratch_.path() / "not-text\xFF", fs::perms::owner_all);
  for (const auto* name : {"missing", "a-file", "link-to-output", "shared", "not-text\xFF"}) {
    const auto result = tool_.run({"--silent", "--offline", "--zippath=" + (scratch_.path() / name).string()});
    EXPECT_EQ(result.exitCode, toInt(ExitCode::FolderUnusable)) << name;
  }
  EXPECT_FALSE(fs::exists(output() / "Sifter.xml"));
}

TEST_F(SifterScanTest, RefusesAnUnsafeOrInvalidSettingsFile) {
  struct Case {
    const char* what;
    std::function<void()> prepare;
  };
  const auto settings = tool_.settingsPath();
  const std::vector<Case> cases{
      {"a link", [&] { writeBytes(scratch_.path() / "real.ini", "[Scan]\n", kPlain);
                       fs::create_symlink(scratch_.path() / "real.ini", settings); }},
      {"writable by group", [&] { writeBytes(settings, "[Scan]\n", kPlain | fs::perms::group_write); }},
      {"writable by others", [&] { writeBytes(settings, "[Scan]\n", kPlain | fs::perms::others_write); }},
      {"a folder", [&] { fs::create_directory(settings); }},
      {"owned by another user", [&] {
         writeBytes(settings, "[Scan]\n", kPlain);
         // Only root can give a file away; elsewhere the file stays ours and
         // the case is left out below.
         if (chown(settings.c_str(), 65534, 65534) != 0) fs::remove(settings);
       }},
      {"an invalid number", [&] { writeBytes(settings, "[Scan]\nMaxDepth=deep\n", kPlain); }},
      {"a relative root", [&] { writeBytes(settings, "[Scan]\nWritableFolders=tmp\n", kPlain); }},
      {"a missing CA file", [&] { writeBytes(settings, "[Upload]\nCAFile=/nonexistent/ca.pem\n", kPlain); }},
  };
  for (const auto& c : cases) {
    fs::remove_all(settings);
    c.prepare();
    if (!fs::exists(fs::symlink_status(settings))) continue;
    EXPECT_EQ(scan().exitCode, toInt(ExitCode::SettingsRefused)) << c.what;
    EXPECT_EQ(tool_.run({"--upload=" + zip().string()}).exitCode, toInt(ExitCode::SettingsRefused)) << c.what;
  }
}

// The default roots over this machine, with a small archive limit to keep it
// quick. The scratch folder lies in the temporary folder, so the walk passes the
// output folder, where the copies of the files found are staged: none of them
// may be collected in turn.
TEST_F(SifterScanTest, DefaultRootsLeaveTheOutputFolderAlone) {
  writeBytes(writable() / "planted", "#!/bin/sh\n", kPlain);
  tool_.writeSettings("[Scan]\nMaxTotalSize=1048576\n");
  const auto result = scan();
  ASSERT_EQ(result.exitCode, toInt(ExitCode::Success)) << result.err;
  const auto files = report();
  if (fs::temp_directory_path() == "/tmp") {
    EXPECT_TRUE(files.contains((writable() / "planted").string()));
  }
  for (const auto& [path, file] : files) {
    EXPECT_FALSE(path.starts_with(output().string() + "/")) << path;
  }
  expectArchiveMatchesReport();
  expectWellFormedDocuments();
}

TEST(SifterCommandLineTest, HelpListsEveryExitCodeAndBadUsageGives64) {
  ScratchFolder scratch;
  SifterInstall tool(scratch.path());
  const auto help = tool.run({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  for (const auto& entry : sifter::kExitCodeDescriptions) {
    EXPECT_NE(help.out.find(std::to_string(toInt(entry.code)) + "  " + std::string(entry.text)), std::string::npos)
        << entry.text;
  }
  const std::vector<std::vector<std::string>> badUsages{
      {},
      {"--silent"},
      {"--zippath="},
      {"--upload="},
      {"--unknown"},
      {"--zippath=/tmp", "--zippath=/tmp"},
      {"--zippath=/tmp", "--upload=/tmp/x.zip"},
      {"--silent", "--silent", "--zippath=/tmp"},
      {"--help", "--zippath=/tmp"},
      {"--upload=/tmp/x.zip", "--offline"},
      {"zippath=/tmp"},
  };
  for (const auto& arguments : badUsages) {
    const auto result = tool.run(arguments);
    EXPECT_EQ(result.exitCode, toInt(ExitCode::Usage)) << ::testing::PrintToString(arguments);
  }
}

}  // namespace
