#include "process/CreateProcessHelper.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/stat.h>

#include <fstream>

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
      {scratch.file("none/x"), 3},   // no such folder
      {text, 5},                     // not executable
      {scratch.path(), 5},           // a folder
      {link, 1921},                  // a symbolic link is never followed
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

// A user-session start through each technique, with this process as the
// session's leader: the child gets the user's identity and the leader's
// environment with the user's profile variables.
TEST(CreateProcessHelperTest, UserSessionCreationStartsTheChild) {
  if (geteuid() != 0) GTEST_SKIP() << "needs CAP_SETUID";
  CVxUserToken own = CVxUserToken::own();
  for (const bool shellTechnique : {false, true}) {
    vxtest::LogCapture capture;
    vxtest::ScratchFolder scratch;
    const std::string out = scratch.file("argv");
    SessionHelper helper({session(2, WTSActive, own.uid, getpid())});
    std::uint32_t error = 99;
    const std::wstring commandLine = vxprocess::buildCommandLine(
        vxtest::argvWriterPathWide(), std::wstring(out.begin(), out.end()) + L" \"x y\"");
    const std::string path = vxtest::argvWriterPath();
    const std::wstring folder(path.begin(), path.begin() + static_cast<long>(path.rfind('/')));
    CVxChildProcess child =
        shellTechnique ? helper._RunProcessAsUserNT(commandLine, error, folder, nullptr, nullptr)
                       : helper._RunProcessAsUserXP(commandLine, error, folder, false, nullptr,
                                                    nullptr);
    ASSERT_TRUE(child) << error;
    EXPECT_EQ(error, 0u);
    ASSERT_EQ(child.wait(), 0u);
    vxtest::ChildReport report;
    ASSERT_TRUE(vxtest::readChildReport(out, report));
    EXPECT_EQ(report.arguments, std::vector<std::string>{"x y"});
    EXPECT_EQ(capture->contains(L"Successfully created process (" + commandLine +
                                L") in the current users context"),
              !shellTechnique);
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
