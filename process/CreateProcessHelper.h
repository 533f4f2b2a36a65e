#pragma once
// CCPHelper: starts a child process, either directly in the caller's own
// identity or inside the session of the logged-in user, with that user's
// identity, profile and environment.
//
// On Linux the session manager is systemd-logind: a session's "token" is its
// user's uid, gid and groups (CVxUserToken), the user's "shell" is the leader of
// a session, and the privileges needed to start a process as another user are
// CAP_SETUID and CAP_SETGID. Two techniques find the user:
// - the session technique (_RunProcessAsUserXP) asks logind for an active
//   session (or an administrator's disconnected one) and takes its user;
// - the shell technique (_RunProcessAsUserNT) looks for a session with a leader
//   whose user is the one asked for, and takes that session's user.
// Either way the identity is the session's user as logind records it, never
// the leader process's (a leader is often a root-owned login, sshd or display
// manager). The child gets that user's groups, an environment made from the
// account alone (HOME, USER, LOGNAME, SHELL, a default PATH, XDG_RUNTIME_DIR
// when the user's runtime folder is there) and works in the home folder (in /
// when the home folder cannot be opened without following a link).
// Without any session the first fails with 1312 (ERROR_NO_SUCH_LOGON_SESSION)
// and the second with 2.
//
// RunProcess refuses (87) a program path with a quotation mark or a NUL in it.
// The child's argv is that path and the words of the arguments, split with the
// Windows rules (process/CommandLine.h); the command line in the Windows form
// (the quoted path, a blank and the arguments) is what the logs show. A direct
// child works in the executable's folder.
//
// A helper serves one launch and is used by one thread; helpers share nothing.
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/VxErrorCodes.h"
#include "platform/UniqueFileDescriptor.h"
#include "process/ChildProcess.h"
#include "process/UserSessions.h"
#include "process/UserToken.h"

using CVxChildProcess = vxprocess::CVxChildProcess;

inline constexpr std::uint32_t VX_NO_SESSION = 0xFFFFFFFE;

class CCPHelper {
 public:
  CCPHelper() = default;
  virtual ~CCPHelper() = default;
  CCPHelper(const CCPHelper&) = delete;
  CCPHelper& operator=(const CCPHelper&) = delete;

  // Starts path with arguments. The child, or an empty one with error set (an
  // empty path: empty, error 0; a quotation mark or NUL in path: 87). executable,
  // when not negative, is the already opened file to run (see
  // process/ProcessSpawn.h); otherwise path is opened.
  CVxChildProcess RunProcess(const std::wstring& path, const std::wstring& arguments,
                             std::uint32_t& error, bool inUserSession, bool adminSessionOnly,
                             const wchar_t* user, const wchar_t* domain, int executable = -1);

  // The priority class the child starts with (applied before it runs its first
  // instruction, so that it never runs at a priority it was not meant to have).
  void setPriorityClass(std::uint32_t priorityClass) { priorityClass_ = priorityClass; }
  // Starts the child detached: for callers that will not wait for it, so that it
  // is reaped by init (see process/ProcessSpawn.h).
  void setDetached(bool detached) { detached_ = detached; }

  CVxChildProcess _RunProcessNormal(const std::wstring& commandLine, std::uint32_t& error,
                                    const std::wstring& folder);
  CVxChildProcess _RunProcessAsUserNT(const std::wstring& commandLine, std::uint32_t& error,
                                      const std::wstring& folder, const wchar_t* user,
                                      const wchar_t* domain);
  CVxChildProcess _RunProcessAsUserXP(const std::wstring& commandLine, std::uint32_t& error,
                                      const std::wstring& folder, bool adminSessionOnly,
                                      const wchar_t* user, const wchar_t* domain);

  std::uint32_t _AdjustPrivilege(const std::wstring& name);
  bool _GetSessionToken(std::uint32_t session, vxprocess::CVxUserToken& token);
  std::uint32_t _IsAdminSessionAvailable(std::uint32_t* session);
  std::uint32_t _IsActiveOrAdminSessionAvailable(std::uint32_t* session, const wchar_t* user,
                                                 const wchar_t* domain);
  bool _IsSessionOfUser(std::uint32_t session, const wchar_t* user, const wchar_t* domain);
  std::uint32_t _GetShellPid(std::uint32_t& pid, const wchar_t* user, const wchar_t* domain);
  bool _IsProcessOfUser(std::uint32_t pid, const wchar_t* user, const wchar_t* domain);
  bool _GetTokenUser(const vxprocess::CVxUserToken& token, std::wstring& user,
                     std::wstring& domain);
  // Null: the calling process's own identity.
  bool _IsTokenAdmin(const vxprocess::CVxUserToken* token);
  // The environment for a child of token, from the user's entry alone: HOME,
  // USER, LOGNAME, SHELL, PATH=/usr/local/bin:/usr/bin:/bin, and XDG_RUNTIME_DIR
  // when /run/user/<uid> is a folder of that user.
  std::vector<std::string> _LoadProfileAndEnvironment(const vxprocess::CVxUserToken& token);

 protected:
  // The session list; tests put their own sessions here.
  virtual std::uint32_t enumerateSessions(std::vector<vxprocess::CVxUserSession>& sessions);

 private:
  // Enumerates for the two session searches; logs and returns the failure.
  std::uint32_t sessionsForSearch(std::vector<vxprocess::CVxUserSession>& sessions,
                                  const wchar_t* function);
  // The technique RunProcess picks, with the executable already opened.
  CVxChildProcess launch(const std::wstring& commandLine, std::uint32_t& error,
                         const std::wstring& folder, bool inUserSession, bool adminSessionOnly,
                         const wchar_t* user, const wchar_t* domain);
  std::uint32_t enablePrivileges(const wchar_t* function, const wchar_t* prefix);
  CVxChildProcess spawn(const std::wstring& commandLine, const std::wstring& folder,
                        const std::vector<std::string>* environment,
                        const vxprocess::CVxUserToken* token, std::uint32_t& error);

  // Looks up the token of a session's user.
  std::uint32_t tokenOfSession(std::uint32_t session, vxprocess::CVxUserToken& token);
  // The first session with a leader whose user is user (any, when not given):
  // the search of _GetShellPid, logged as it. 0 or 2.
  std::uint32_t findShellSession(vxprocess::CVxUserSession& found, const wchar_t* user,
                                 const wchar_t* domain);
  // Opens the user's home folder to work in, or / when it cannot (logged).
  std::uint32_t openHomeFolder(const vxprocess::CVxUserToken& token,
                               platform::UniqueFileDescriptor& folder);

  std::vector<std::string> argv_;  // the argv of this launch, empty when not from RunProcess
  int executable_ = -1;          // the opened executable of this launch, -1 for none
  std::uint32_t openError_ = 0;  // why RunProcess could not open it
  std::uint32_t priorityClass_ = vxprocess::NORMAL_PRIORITY_CLASS;
  bool detached_ = false;
};
