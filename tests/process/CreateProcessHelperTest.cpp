#include "process/CreateProcessHelper.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "process/CommandLine.h"
#include "process/OsDetect.h"
#include "tests/process/ProcessTestSupport.h"
#include "tests/support/CaptureLog.h"

namespace {

using vxprocess::CVxUserSession;
using vxprocess::CVxUserToken;
using vxprocess::WTSActive;
using vxprocess::WTSDisconnected;

// A helper whose session list is the test's.
class SessionHelper : public CCPHelper {
 public:
  explicit SessionHelper(std::vector<CVxUserSession> sessions) : sessions_(std::move(sessions)) {}

 protected:
  std::uint32_t enumerateSessions(std::vector<CVxUserSession>& sessions) override {
    sessions = sessions_;
    return 0;
  }

 private:
  std::vector<CVxUserSession> sessions_;
};

CVxUserSession session(std::uint32_t id, std::uint32_t state, uid_t uid, pid_t leader = 0) {
  CVxUserSession s;
  s.name = std::to_string(id);
  s.id = id;
  s.state = state;
  s.uid = uid;
  s.leader = leader;
  return s;
}

bool machineHasSessions() {
  std::vector<CVxUserSession> sessions;
  return vxprocess::enumerateUserSessions(sessions) != 0 || !sessions.empty();
}

constexpr uid_t kNobody = 65534;

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// True when a statement of function with severity ends with tail (a message
// may hold a NUL of the text it is about, so it is not compared whole).
bool loggedEndingWith(vxtest::LogCapture& capture, const std::wstring& function,
                      std::uint32_t severity, const std::wstring& tail) {
  for (const vxtest::LogEntry& entry : capture->entries()) {
    if (entry.function == function && entry.severity == severity && entry.message.size() >= tail.size() &&
        entry.message.compare(entry.message.size() - tail.size(), tail.size(), tail) == 0) {
      return true;
    }
  }
  return false;
}

TEST(CreateProcessHelperTest, DirectCreationRunsInTheExecutablesFolder) {
  vxtest::LogCapture capture;
  vxtest::ScratchFolder scratch;
  const std::string out = scratch.file("argv");
  CCPHelper helper;
  std::uint32_t error = 99;
  CVxChildProcess child = helper.RunProcess(vxtest::argvWriterPathWide(),
                                            std::wstring(out.begin(), out.end()) + L" \"a b\"",
                                            error, false, false, nullptr, nullptr);
  ASSERT_TRUE(child);
  EXPECT_EQ(error, 0u);
  ASSERT_EQ(child.wait(), 0u);
  vxtest::ChildReport report;
  ASSERT_TRUE(vxtest::readChildReport(out, report));
  const std::string path = vxtest::argvWriterPath();
  EXPECT_EQ(report.folder, path.substr(0, path.rfind('/')));
  EXPECT_EQ(report.arguments, std::vector<std::string>{"a b"});
  const std::wstring commandLine = L"\"" + vxtest::argvWriterPathWide() + L"\" " +
                                   std::wstring(out.begin(), out.end()) + L" \"a b\"";
  const vxtest::LogEntry entry =
      capture->find(L"Successfully created process (" + commandLine + L")");
  EXPECT_EQ(entry.severity, VX_LOG_NORMAL);
  EXPECT_EQ(entry.function, L"CCPHelper::_RunProcessNormal");
  EXPECT_EQ(entry.file, L"CreateProcessHelper");
}

TEST(CreateProcessHelperTest, EmptyArgumentsGiveOnlyTheQuotedPath) {
  vxtest::LogCapture capture;
  CCPHelper helper;
  std::uint32_t error = 0;
  CVxChildProcess child =
      helper.RunProcess(vxtest::argvWriterPathWide(), L"", error, false, false, nullptr, nullptr);
  ASSERT_TRUE(child);
  ASSERT_EQ(child.wait(), 0u);
  std::uint32_t code = 0;
  ASSERT_EQ(child.exitCode(code), 0u);
  EXPECT_EQ(code, 64u);  // the helper's answer to no arguments
  EXPECT_TRUE(capture->contains(L"Successfully created process (\"" +
                                vxtest::argvWriterPathWide() + L"\")"));
}

TEST(CreateProcessHelperTest, FilesThatCannotStartGiveTheirError) {
  vxtest::ScratchFolder scratch;
  const std::string text = scratch.file("text");
  { std::ofstream(text) << "not a program"; }
  chmod(text.c_str(), 0644);
  const std::string link = scratch.file("link");
  ASSERT_EQ(symlink(vxtest::argvWriterPath().c_str(), link.c_str()), 0);
  struct Case {
    std::string path;
    std::uint32_t error;
  };
  const Case cases[] = {
      {scratch.file("missing"), 2},  // no such file
      {scratch.file("none/x"), 2},   // no such folder
      {text, 5},                     // not executable
      {scratch.path(), 5},           // a folder
      {link, 5},                     // a symbolic link is never followed
  };
  for (const Case& c : cases) {
    vxtest::LogCapture capture;
    CCPHelper helper;
    std::uint32_t error = 0;
    const std::wstring path(c.path.begin(), c.path.end());
    EXPECT_FALSE(helper.RunProcess(path, L"x", error, false, false, nullptr, nullptr)) << c.path;
    EXPECT_EQ(error, c.error) << c.path;
    const vxtest::LogEntry entry = capture->find(L"Failed to create process (\"" + path +
                                                 L"\" x). ErrorCode: " + std::to_wstring(c.error));
    EXPECT_EQ(entry.severity, VX_LOG_ERROR) << c.path;
  }
}

TEST(CreateProcessHelperTest, EmptyPathStartsNothing) {
  CCPHelper helper;
  std::uint32_t error = 5;
  EXPECT_FALSE(helper.RunProcess(L"", L"x", error, false, false, nullptr, nullptr));
  EXPECT_EQ(error, 0u);
}

// A tool path that carries arguments of its own, as "--tool '/tmp/q/Sifter\"
// --upload=x.exe'" did: a quotation mark would end the program name of the
// command line, and a NUL would cut the path the system opens short of what
// was checked. The program is really there under each name; every start is
// refused with 87 before anything is opened, and nothing runs.
TEST(CreateProcessHelperTest, ProgramPathsThatCarryArgumentsAreRefused) {
  vxtest::ScratchFolder scratch;
  const std::string tool = scratch.file("Sifter");
  ASSERT_TRUE(vxtest::copyArgvWriter(tool, 0755));
  ASSERT_TRUE(vxtest::copyArgvWriter(scratch.file("Sifter\" --upload=x.exe"), 0755));
  ASSERT_EQ(mkdir(scratch.file("q\"x").c_str(), 0755), 0);
  ASSERT_TRUE(vxtest::copyArgvWriter(scratch.file("q\"x/Sifter"), 0755));
  struct Case {
    const char* what;
    std::wstring path;
    std::wstring shown;  // as the log shows it
  };
  const std::wstring quoted = wide(scratch.file("Sifter\" --upload=x.exe"));
  const std::wstring inFolder = wide(scratch.file("q\"x/Sifter"));
  const Case cases[] = {
      {"a quotation mark ends the program name", quoted, quoted},
      {"a quotation mark in a folder name", inFolder, inFolder},
      {"a NUL before an .exe ending", wide(tool) + std::wstring(L"\0.exe", 5), wide(tool) + L"\\0.exe"},
      {"a NUL before arguments", wide(tool) + std::wstring(L"\0 --upload=x.exe", 16),
       wide(tool) + L"\\0 --upload=x.exe"},
  };
  const std::string out = scratch.file("ran");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    vxtest::LogCapture capture;
    CCPHelper helper;
    std::uint32_t error = 0;
    EXPECT_FALSE(helper.RunProcess(c.path, wide(out), error, false, false, nullptr, nullptr));
    EXPECT_EQ(error, 87u);
    const vxtest::LogEntry refused =
        capture->find(L"Refused to create process (\"" + c.shown + L"\" " + wide(out) +
                      L"): a quotation mark or a NUL in the program path. ErrorCode: 87");
    EXPECT_EQ(refused.severity, VX_LOG_ERROR);
    EXPECT_EQ(refused.function, L"CCPHelper::RunProcess");
    vxtest::CountingTask task(c.path, wide(out));
    const VxNAResult<std::uint32_t> outcome = task.run();
    EXPECT_FALSE(outcome.ok);
    EXPECT_EQ(outcome.error, 87u);
    EXPECT_EQ(task.validations, 0);
    EXPECT_TRUE(capture->contains(L"Refused the program path (a quotation mark or a NUL in it) :- " + c.shown +
                                      L". ErrorCode: 87",
                                  VX_LOG_ERROR));
    EXPECT_FALSE(std::filesystem::exists(out));
  }
}

// The child's argv[0] is the program path itself, whatever blanks, quotes of
// the other kind or backslashes it holds, and the arguments follow whole.
TEST(CreateProcessHelperTest, TheChildsArgv0IsTheProgramPath) {
  vxtest::ScratchFolder scratch;
  const std::string out = scratch.file("identity");
  for (const std::string name : {"a b", "it's", "back\\slash", "tab\there", "--upload=x.exe"}) {
    SCOPED_TRACE(name);
    ASSERT_EQ(mkdir(scratch.file(name).c_str(), 0755), 0);
    const std::string tool = scratch.file(name + "/Sifter " + name);
    ASSERT_TRUE(vxtest::copyArgvWriter(tool, 0755));
    CCPHelper helper;
    std::uint32_t error = 0;
    CVxChildProcess child = helper.RunProcess(wide(tool), L"--identity " + vxprocess::quoteArgument(wide(out)),
                                              error, false, false, nullptr, nullptr);
    ASSERT_TRUE(child) << error;
    ASSERT_EQ(child.wait(), 0u);
    const std::vector<std::string> fields = vxtest::readChildFields(out);
    ASSERT_FALSE(fields.empty());
    EXPECT_EQ(fields[0], "argv0=" + tool);
  }
}

// Without any login session the session technique fails with 1312 and the shell
// technique, tried next, with 2; asking for an administrator's session only
// stops after the first.
TEST(CreateProcessHelperTest, WithoutSessionsUserSessionCreationFails) {
  if (machineHasSessions()) GTEST_SKIP() << "this machine has login sessions";
  for (const bool adminOnly : {false, true}) {
    vxtest::LogCapture capture;
    CCPHelper helper;
    std::uint32_t error = 0;
    EXPECT_FALSE(helper.RunProcess(vxtest::argvWriterPathWide(), L"", error, true, adminOnly,
                                   nullptr, nullptr));
    const std::wstring which = adminOnly ? L"Admin" : L"Active";
    EXPECT_TRUE(capture->contains(L"CCPHelper::_RunProcessAsUserXP(): " + which +
                                      L" Session Is Not Available. GetLastError() returned "
                                      L"1312\n",
                                  VX_LOG_ERROR));
    EXPECT_EQ(capture->contains(L"Could not find the Shell PID", VX_LOG_ERROR), !adminOnly);
    EXPECT_EQ(capture->contains(L"CCPHelper::_RunProcessAsUserNT: _GetShellPid returned 2"),
              !adminOnly);
    EXPECT_EQ(error, adminOnly ? 1312u : 2u);
  }
}

TEST(CreateProcessHelperTest, SessionSearchesOverAnEmptyListGive1312) {
  SessionHelper helper({});
  std::uint32_t id = 0;
  EXPECT_EQ(helper._IsAdminSessionAvailable(&id), 1312u);
  EXPECT_EQ(id, VX_NO_SESSION);
  EXPECT_EQ(helper._IsActiveOrAdminSessionAvailable(&id, nullptr, nullptr), 1312u);
  EXPECT_EQ(helper._IsAdminSessionAvailable(nullptr), 87u);
  std::uint32_t pid = 7;
  EXPECT_EQ(helper._GetShellPid(pid, nullptr, nullptr), 2u);
  EXPECT_EQ(pid, 0u);
}

// Which session each search picks, from the states and users of the list.
TEST(CreateProcessHelperTest, SessionSearchesChooseAsDocumented) {
  if (geteuid() != 0) GTEST_SKIP() << "telling sessions' users apart needs CAP_SETUID";
  struct Case {
    const char* what;
    std::vector<CVxUserSession> sessions;
    bool adminOnly;
    const wchar_t* user;
    std::uint32_t result;
    std::uint32_t id;
  };
  const Case cases[] = {
      {"active session of anyone", {session(3, WTSDisconnected, kNobody), session(5, WTSActive, kNobody)},
       false, nullptr, 0, 5},
      {"disconnected administrator when no active one",
       {session(2, WTSDisconnected, kNobody), session(4, WTSDisconnected, 0),
        session(6, WTSDisconnected, kNobody)},
       false, nullptr, 0, 4},
      {"no administrator among disconnected", {session(2, WTSDisconnected, kNobody)}, false,
       nullptr, 1312, 2},
      {"admin only skips an active non-administrator",
       {session(2, WTSActive, kNobody), session(4, WTSDisconnected, 0)}, true, nullptr, 0, 4},
      {"admin only takes an active administrator",
       {session(2, WTSDisconnected, 0), session(4, WTSActive, 0)}, true, nullptr, 0, 4},
      {"named user, any case", {session(2, WTSActive, 0), session(3, WTSDisconnected, kNobody)},
       false, L"NoBody", 0, 3},
      {"named user absent", {session(2, WTSActive, 0)}, false, L"nobody", 1312, VX_NO_SESSION},
  };
  for (const Case& c : cases) {
    SessionHelper helper(c.sessions);
    std::uint32_t id = 0;
    const std::uint32_t result = c.adminOnly
                                     ? helper._IsAdminSessionAvailable(&id)
                                     : helper._IsActiveOrAdminSessionAvailable(&id, c.user, nullptr);
    EXPECT_EQ(result, c.result) << c.what;
    EXPECT_EQ(id, c.id) << c.what;
  }
}

TEST(CreateProcessHelperTest, UnmatchedSessionsAreLogged) {
  if (geteuid() != 0) GTEST_SKIP() << "needs CAP_SETUID";
  vxtest::LogCapture capture;
  SessionHelper helper({session(2, WTSActive, 0), session(7, WTSDisconnected, 0)});
  std::uint32_t id = 0;
  EXPECT_EQ(helper._IsActiveOrAdminSessionAvailable(&id, L"nobody", L"dom"), 1312u);
  EXPECT_TRUE(capture->contains(L"WTSActive -- SessionId = 2 not matching nobody,dom\n"));
  EXPECT_TRUE(capture->contains(L"WTSDisconnected -- SessionId = 7 not matching nobody,dom\n"));
}

// The shell is a session's leader: found by the user of that process.
TEST(CreateProcessHelperTest, ShellIsTheLeaderOfTheUsersSession) {
  vxtest::LogCapture capture;
  CVxUserToken own = CVxUserToken::own();
  SessionHelper helper({session(2, WTSActive, own.uid, getpid())});
  std::uint32_t pid = 0;
  const std::wstring user(own.user.begin(), own.user.end());
  EXPECT_EQ(helper._GetShellPid(pid, user.c_str(), nullptr), 0u);
  EXPECT_EQ(pid, static_cast<std::uint32_t>(getpid()));
  EXPECT_TRUE(capture->contains(L"The Current Shell PID = " + std::to_wstring(getpid())));
  EXPECT_EQ(helper._GetShellPid(pid, L"no-such-user", L"d"), 2u);
  EXPECT_TRUE(capture->contains(L"Shell PID = " + std::to_wstring(getpid()) +
                                L" doesnt match no-such-user,d"));
}

// The shell is found by the session's user, not by the user of its leader
// process: a session of nobody whose leader is a root process (this test) is
// nobody's shell, and never root's.
TEST(CreateProcessHelperTest, ShellIsFoundByTheSessionsUserNotItsLeaders) {
  if (geteuid() != 0) GTEST_SKIP() << "the leader must be a root process";
  SessionHelper helper({session(2, WTSActive, kNobody, getpid())});
  struct Case {
    const wchar_t* user;
    std::uint32_t result;
    std::uint32_t pid;
  };
  const Case cases[] = {
      {L"nobody", 0, static_cast<std::uint32_t>(getpid())},
      {L"root", 2, 0},
  };
  for (const Case& c : cases) {
    std::uint32_t pid = 7;
    EXPECT_EQ(helper._GetShellPid(pid, c.user, nullptr), c.result) << c.user;
    EXPECT_EQ(pid, c.pid) << c.user;
  }
}

// A root process that stands for a session's leader (a login, sshd or display
// manager): its environment holds root's PATH and HOME and the product's
// VX_MACHINE_DIR. It runs until the object goes.
class RootLeader {
 public:
  RootLeader() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    input_ = ends[1];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[0], 0);
    char* argv[] = {const_cast<char*>("cat"), nullptr};
    char* envp[] = {const_cast<char*>("HOME=/root"), const_cast<char*>("PATH=/root/bin:/usr/sbin:/usr/bin"),
                    const_cast<char*>("VX_MACHINE_DIR=/var/lib/vexora"), nullptr};
    if (posix_spawn(&pid_, "/usr/bin/cat", &actions, nullptr, argv, envp) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(ends[0]);
  }
  ~RootLeader() {
    if (input_ >= 0) close(input_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  RootLeader(const RootLeader&) = delete;
  RootLeader& operator=(const RootLeader&) = delete;
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
};

// /run/user/<uid> as logind makes it, for the time of one case; a folder that
// is already there is left as it is.
class RuntimeFolder {
 public:
  explicit RuntimeFolder(uid_t uid) : path_("/run/user/" + std::to_string(uid)) {
    if (std::filesystem::exists(path_)) return;
    madeParent_ = mkdir("/run/user", 0755) == 0;
    made_ = mkdir(path_.c_str(), 0700) == 0 && chown(path_.c_str(), uid, uid) == 0;
  }
  ~RuntimeFolder() {
    if (made_) rmdir(path_.c_str());
    if (madeParent_) rmdir("/run/user");
  }
  RuntimeFolder(const RuntimeFolder&) = delete;
  RuntimeFolder& operator=(const RuntimeFolder&) = delete;

 private:
  std::string path_;
  bool made_ = false;
  bool madeParent_ = false;
};

struct Account {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name, home, shell, groups;
};

bool accountOf(uid_t uid, Account& account) {
  std::array<char, 16384> buffer{};
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return false;
  account = {entry.pw_uid, entry.pw_gid, entry.pw_name, entry.pw_dir, entry.pw_shell, {}};
  std::vector<gid_t> groups(256);
  int count = static_cast<int>(groups.size());
  if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) return false;
  groups.resize(static_cast<std::size_t>(count));
  std::sort(groups.begin(), groups.end());
  groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
  for (const gid_t group : groups) {
    account.groups += (account.groups.empty() ? "" : ",") + std::to_string(group);
  }
  return true;
}

// What the child of a session of account must report: its identity, the
// environment of the account alone, and the home folder (or /, when the home
// folder is missing or reached through a link) to work in.
std::vector<std::string> expectedIdentity(const Account& account, const std::string& tool,
                                          std::string& folder) {
  char resolved[PATH_MAX];
  const bool homeUsable = realpath(account.home.c_str(), resolved) != nullptr && account.home == resolved &&
                          std::filesystem::is_directory(account.home);
  folder = homeUsable ? account.home : "/";
  const std::string uid = std::to_string(account.uid);
  const std::string gid = std::to_string(account.gid);
  std::vector<std::string> fields = {"argv0=" + tool,          "uid=" + uid,  "euid=" + uid,
                                     "gid=" + gid,             "egid=" + gid, "groups=" + account.groups,
                                     "nice=0",                 "cwd=" + folder,
                                     "env:HOME=" + account.home, "env:USER=" + account.name,
                                     "env:LOGNAME=" + account.name, "env:SHELL=" + account.shell,
                                     "env:PATH=/usr/local/bin:/usr/bin:/bin"};
  const std::string runtime = "/run/user/" + uid;
  struct stat status {};
  if (lstat(runtime.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == account.uid) {
    fields.push_back("env:XDG_RUNTIME_DIR=" + runtime);
  }
  return fields;
}

// A session whose leader is a root process and whose user is another: each
// technique starts the child as the session's user, with that user's groups,
// an environment made from the account alone (none of the leader's) and the
// home folder to work in.
TEST(CreateProcessHelperTest, AUserSessionChildRunsAsTheSessionsUserNotItsLeader) {
  if (geteuid() != 0) GTEST_SKIP() << "needs CAP_SETUID";
  RootLeader leader;
  ASSERT_GT(leader.pid(), 0);
  struct Case {
    const char* what;
    uid_t uid;
    bool shellTechnique;
    const wchar_t* user;
    bool runtimeFolder;
  };
  const Case cases[] = {
      {"session technique", kNobody, false, nullptr, false},
      {"shell technique, any user", kNobody, true, nullptr, false},
      {"shell technique, the user by name", kNobody, true, L"nobody", false},
      {"session technique, the user has a runtime folder", kNobody, false, nullptr, true},
      {"an account whose home folder is there (daemon)", 1, false, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Account account;
    if (!accountOf(c.uid, account)) {
      ADD_FAILURE() << "no account " << c.uid << " on this machine";
      continue;
    }
    std::optional<RuntimeFolder> runtime;
    if (c.runtimeFolder) runtime.emplace(c.uid);
    vxtest::ScratchFolder scratch;
    ASSERT_EQ(chmod(scratch.path().c_str(), 0755), 0);
    const std::string tool = scratch.file("tool");
    ASSERT_TRUE(vxtest::copyArgvWriter(tool, 0755));
    const std::string outFolder = scratch.file("out");
    ASSERT_EQ(mkdir(outFolder.c_str(), 0700), 0);
    ASSERT_EQ(chown(outFolder.c_str(), account.uid, account.gid), 0);
    const std::string out = outFolder + "/identity";

    vxtest::LogCapture capture;
    SessionHelper helper({session(2, WTSActive, c.uid, leader.pid())});
    const std::wstring commandLine =
        vxprocess::buildCommandLine(wide(tool), L"--identity " + vxprocess::quoteArgument(wide(out)));
    std::uint32_t error = 99;
    CVxChildProcess child =
        c.shellTechnique ? helper._RunProcessAsUserNT(commandLine, error, wide(scratch.path()), c.user, nullptr)
                         : helper._RunProcessAsUserXP(commandLine, error, wide(scratch.path()), false, c.user,
                                                      nullptr);
    ASSERT_TRUE(child) << error;
    EXPECT_EQ(error, 0u);
    ASSERT_EQ(child.wait(), 0u);
    std::uint32_t code = 99;
    ASSERT_EQ(child.exitCode(code), 0u);
    EXPECT_EQ(code, 0u);
    std::string folder;
    EXPECT_EQ(vxtest::readChildFields(out), expectedIdentity(account, tool, folder));
    if (folder == "/") {
      EXPECT_TRUE(loggedEndingWith(capture, L"CCPHelper::openHomeFolder", VX_LOG_WARNING,
                                   L"; the process works in /"));
    }
  }
}

TEST(CreateProcessHelperTest, PrivilegesByName) {
  CCPHelper helper;
  vxtest::LogCapture capture;
  EXPECT_EQ(helper._AdjustPrivilege(L""), 87u);
  EXPECT_EQ(helper._AdjustPrivilege(L"SeNoSuchPrivilege"), 1313u);
  EXPECT_TRUE(capture->contains(L"LookupPrivilegeValue() failed. ErrorCode: 1313", VX_LOG_ERROR));
  if (geteuid() == 0) {
    EXPECT_EQ(helper._AdjustPrivilege(L"CAP_SETUID"), 0u);
  }
}

TEST(CreateProcessHelperTest, OsTypeOfLinux) {
  COsDetect detect;
  EXPECT_EQ(detect.GetOSType(), 64u);
}

}  // namespace
