#include "process/CreateProcessHelper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include "foundation/VxLogStream.h"
#include "platform/ErrorCodes.h"
#include "platform/UniqueFileDescriptor.h"
#include "platform/Utf8.h"
#include "process/Capability.h"
#include "process/CommandLine.h"
#include "process/OsDetect.h"
#include "process/PathText.h"
#include "process/ProcessSpawn.h"

using vxprocess::CVxUserSession;
using vxprocess::CVxUserToken;

namespace {

constexpr wchar_t kLogSource[] = L"CreateProcessHelper";
// The capabilities that starting a child as another user needs, in the order
// they are enabled.
constexpr std::array<const wchar_t*, 2> kUserPrivileges = {L"CAP_SETUID", L"CAP_SETGID"};
// The PATH of a child started in a user's session.
constexpr char kUserPath[] = "/usr/local/bin:/usr/bin:/bin";

std::string narrow(const std::wstring& text) { return platform::encodeUtf8(text.data(), text.size()); }
std::wstring wide(const std::string& text) { return platform::decodeUtf8(text.data(), text.size()); }
const wchar_t* orEmpty(const wchar_t* text) { return text == nullptr ? L"" : text; }
bool given(const wchar_t* text) { return text != nullptr && *text != L'\0'; }

std::wstring folderOf(const std::wstring& path) {
  const std::size_t slash = path.rfind(L'/');
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The user's runtime folder (/run/user/<uid>), when it is there: a folder of
// that user, not a link. Empty otherwise.
std::string runtimeFolderOf(uid_t uid) {
  const std::string path = "/run/user/" + std::to_string(uid);
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != uid) {
    return {};
  }
  return path;
}

}  // namespace

CVxChildProcess CCPHelper::RunProcess(const std::wstring& path, const std::wstring& arguments,
                                      std::uint32_t& error, bool inUserSession,
                                      bool adminSessionOnly, const wchar_t* user,
                                      const wchar_t* domain, int executable) {
  error = 0;
  if (path.empty()) return {};
  const std::wstring commandLine = vxprocess::buildCommandLine(path, arguments);
  if (!vxprocess::isProgramPath(path)) {
    error = platform::kErrorInvalidParameter;
    VX_LOG(VX_LOG_ERROR, L"CCPHelper::RunProcess")
        << L"Refused to create process (" << vxprocess::printable(commandLine)
        << L"): a quotation mark or a NUL in the program path. ErrorCode: " << error;
    return {};
  }
  const std::wstring folder = folderOf(path);

  // argv is the path itself and the words of the arguments: the command line
  // is for the logs only, nothing of the path is ever split.
  argv_.clear();
  argv_.push_back(narrow(path));
  for (const std::wstring& argument : vxprocess::splitArguments(arguments)) {
    argv_.push_back(narrow(argument));
  }
  // The executable is opened by its path as given; a file that cannot be
  // opened fails in the creation step below, with its log text.
  platform::UniqueFileDescriptor opened;
  openError_ = 0;
  if (executable < 0) {
    openError_ = vxprocess::openExecutable(argv_[0], opened);
    executable = opened.get();
  }
  executable_ = executable;
  CVxChildProcess child =
      launch(commandLine, error, folder, inUserSession, adminSessionOnly, user, domain);
  // The descriptor and the argv belong to this call only.
  executable_ = -1;
  openError_ = 0;
  argv_.clear();
  return child;
}

CVxChildProcess CCPHelper::launch(const std::wstring& commandLine, std::uint32_t& error,
                                  const std::wstring& folder, bool inUserSession,
                                  bool adminSessionOnly, const wchar_t* user,
                                  const wchar_t* domain) {
  if (!inUserSession) return _RunProcessNormal(commandLine, error, folder);
  COsDetect detect;
  switch (detect.GetOSType()) {
    case 8:
    case 16:
      return _RunProcessAsUserNT(commandLine, error, folder, user, domain);
    case 32:
    case 64: {
      CVxChildProcess child =
          _RunProcessAsUserXP(commandLine, error, folder, adminSessionOnly, user, domain);
      if (!child && !adminSessionOnly) {
        child = _RunProcessAsUserNT(commandLine, error, folder, user, domain);
      }
      return child;
    }
    default:
      return {};
  }
}

CVxChildProcess CCPHelper::spawn(const std::wstring& commandLine, const std::wstring& folder,
                                 const std::vector<std::string>* environment,
                                 const CVxUserToken* token, std::uint32_t& error) {
  vxprocess::CVxSpawnRequest request;
  if (!argv_.empty()) {
    request.arguments = argv_;
  } else {
    for (const std::wstring& argument : vxprocess::splitCommandLine(commandLine)) {
      request.arguments.push_back(narrow(argument));
    }
  }
  request.environment = environment;
  request.token = token;
  request.detached = detached_;
  if (!vxprocess::niceOfPriorityClass(priorityClass_, request.nice)) {
    error = platform::kErrorInvalidParameter;
    return {};
  }

  platform::UniqueFileDescriptor opened;
  int executable = executable_;
  if (openError_ != 0) {
    error = openError_;
    return {};
  }
  if (executable < 0) {
    error = vxprocess::openExecutable(request.arguments[0], opened);
    if (error != 0) return {};
    executable = opened.get();
  }
  platform::UniqueFileDescriptor workingFolder;
  if (token != nullptr) {
    error = openHomeFolder(*token, workingFolder);
  } else if (!folder.empty()) {
    error = vxprocess::openFolder(narrow(folder), workingFolder);
  }
  if (error != 0) return {};
  request.workingFolder = workingFolder.get();
  CVxChildProcess child;
  error = vxprocess::spawnProcess(executable, request, child);
  return child;
}

std::uint32_t CCPHelper::openHomeFolder(const CVxUserToken& token,
                                        platform::UniqueFileDescriptor& folder) {
  const std::uint32_t error = token.home.empty() ? platform::kErrorPathNotFound
                                                 : vxprocess::openFolder(token.home, folder);
  if (error == 0) return 0;
  VX_LOG(VX_LOG_WARNING, L"CCPHelper::openHomeFolder")
      << L"Could not Load user profile (" << wide(token.home) << L"). Error: " << error
      << L"; the process works in /";
  return vxprocess::openFolder("/", folder);
}

CVxChildProcess CCPHelper::_RunProcessNormal(const std::wstring& commandLine,
                                             std::uint32_t& error, const std::wstring& folder) {
  constexpr const wchar_t* kFunction = L"CCPHelper::_RunProcessNormal";
  CVxChildProcess child = spawn(commandLine, folder, nullptr, nullptr, error);
  if (!child) {
    VX_LOG(VX_LOG_ERROR, kFunction)
        << L"Failed to create process (" << commandLine << L"). ErrorCode: " << error;
    return {};
  }
  VX_LOG(VX_LOG_NORMAL, kFunction) << L"Successfully created process (" << commandLine << L")";
  error = 0;
  return child;
}

std::uint32_t CCPHelper::_AdjustPrivilege(const std::wstring& name) {
  constexpr const wchar_t* kFunction = L"CCPHelper::_AdjustPrivilege";
  if (name.empty()) return platform::kErrorInvalidParameter;
  int capability = 0;
  if (!vxprocess::lookupCapability(name, capability)) {
    VX_LOG(VX_LOG_ERROR, kFunction) << L"LookupPrivilegeValue() failed. ErrorCode: "
                                    << ERROR_NO_SUCH_PRIVILEGE;
    return ERROR_NO_SUCH_PRIVILEGE;
  }
  // Unlike a Windows token, where a privilege that is not held is "not all
  // assigned" and surfaces only at the creation, a capability that is not
  // permitted is reported here.
  const std::uint32_t error = vxprocess::enableCapability(capability);
  if (error != 0) {
    VX_LOG(VX_LOG_ERROR, kFunction) << L"AdjustTokenPrivileges failed. ErrorCode: " << error;
  }
  return error;
}

std::uint32_t CCPHelper::enablePrivileges(const wchar_t* function, const wchar_t* prefix) {
  for (const wchar_t* privilege : kUserPrivileges) {
    const std::uint32_t error = _AdjustPrivilege(privilege);
    if (error != 0) {
      VX_LOG(VX_LOG_ERROR, function) << prefix << L": _AdjustPrivilege failed with error: "
                                     << error << L" for " << privilege;
      return error;
    }
  }
  return 0;
}

std::uint32_t CCPHelper::enumerateSessions(std::vector<CVxUserSession>& sessions) {
  return vxprocess::enumerateUserSessions(sessions);
}

bool CCPHelper::_GetSessionToken(std::uint32_t session, CVxUserToken& token) {
  constexpr const wchar_t* kFunction = L"CCPHelper::_GetSessionToken";
  if (enablePrivileges(kFunction, kFunction) != 0) return false;
  const std::uint32_t error = tokenOfSession(session, token);
  if (error == 0) return true;
  VX_LOG(VX_LOG_ERROR, kFunction)
      << L"CCPHelper::_GetSessionToken: WTSQueryUserToken failed with error: " << error;
  return false;
}

std::uint32_t CCPHelper::tokenOfSession(std::uint32_t session, CVxUserToken& token) {
  std::vector<CVxUserSession> sessions;
  if (const std::uint32_t error = enumerateSessions(sessions); error != 0) return error;
  for (const CVxUserSession& candidate : sessions) {
    if (candidate.id != session) continue;
    // The session's user, never its leader's: a leader is often a root-owned
    // login, sshd or display manager. A user without a passwd entry has no token.
    return CVxUserToken::fromUid(candidate.uid, token) ? 0 : ERROR_NONE_MAPPED;
  }
  return ERROR_NO_SUCH_LOGON_SESSION;
}

bool CCPHelper::_IsTokenAdmin(const CVxUserToken* token) {
  if (token == nullptr) return CVxUserToken::own().isAdmin();
  return token->isAdmin();
}

bool CCPHelper::_GetTokenUser(const CVxUserToken& token, std::wstring& user,
                              std::wstring& domain) {
  if (token.user.empty()) return false;
  user = wide(token.user);
  domain = wide(vxprocess::localDomain());
  return true;
}

std::uint32_t CCPHelper::sessionsForSearch(std::vector<CVxUserSession>& sessions,
                                           const wchar_t* function) {
  const std::uint32_t error = enumerateSessions(sessions);
  if (error != 0) {
    VX_LOG(VX_LOG_ERROR, function)
        << L"WTSEnumerateSessions failed: GetLastError() returned " << error << L"\n";
    return error;
  }
  return sessions.empty() ? ERROR_NO_SUCH_LOGON_SESSION : 0;
}

std::uint32_t CCPHelper::_IsAdminSessionAvailable(std::uint32_t* session) {
  constexpr const wchar_t* kFunction = L"CCPHelper::_IsAdminSessionAvailable";
  if (session == nullptr) return platform::kErrorInvalidParameter;
  *session = VX_NO_SESSION;
  std::vector<CVxUserSession> sessions;
  if (const std::uint32_t error = sessionsForSearch(sessions, kFunction); error != 0) return error;
  bool adminFound = false;
  for (const CVxUserSession& candidate : sessions) {
    CVxUserToken token;
    if (candidate.state == vxprocess::WTSActive) {
      VX_LOG(VX_LOG_NORMAL, kFunction) << L"_IsAdminSessionAvailable: Active SessionId = "
                                       << candidate.id << L", State = " << candidate.state
                                       << L"\n";
      if (_GetSessionToken(candidate.id, token) && _IsTokenAdmin(&token)) {
        *session = candidate.id;
        return 0;
      }
    } else if (candidate.state == vxprocess::WTSDisconnected) {
      VX_LOG(VX_LOG_NORMAL, kFunction) << L"_IsAdminSessionAvailable: SessionId = "
                                       << candidate.id << L", State = " << candidate.state
                                       << L"\n";
      if (!adminFound) {
        *session = candidate.id;
        adminFound = _GetSessionToken(candidate.id, token) && _IsTokenAdmin(&token);
      }
    }
  }
  return adminFound ? 0 : ERROR_NO_SUCH_LOGON_SESSION;
}

std::uint32_t CCPHelper::_IsActiveOrAdminSessionAvailable(std::uint32_t* session,
                                                          const wchar_t* user,
                                                          const wchar_t* domain) {
  constexpr const wchar_t* kFunction = L"CCPHelper::_IsActiveOrAdminSessionAvailable";
  if (session == nullptr) return platform::kErrorInvalidParameter;
  *session = VX_NO_SESSION;
  std::vector<CVxUserSession> sessions;
  if (const std::uint32_t error = sessionsForSearch(sessions, kFunction); error != 0) return error;
  bool adminFound = false;
  for (const CVxUserSession& candidate : sessions) {
    const bool active = candidate.state == vxprocess::WTSActive;
    if (!active && candidate.state != vxprocess::WTSDisconnected) continue;
    if (given(user)) {
      if (_IsSessionOfUser(candidate.id, user, domain)) {
        VX_LOG(VX_LOG_NORMAL, kFunction)
            << L"_IsActiveOrAdminSessionAvailable: Active SessionId = " << candidate.id
            << L", State = " << candidate.state << L"\n";
        *session = candidate.id;
        return 0;
      }
      VX_LOG(VX_LOG_NORMAL, kFunction)
          << (active ? L"WTSActive" : L"WTSDisconnected") << L" -- SessionId = " << candidate.id
          << L" not matching " << user << L"," << orEmpty(domain) << L"\n";
    } else if (active) {
      VX_LOG(VX_LOG_NORMAL, kFunction)
          << L"_IsActiveOrAdminSessionAvailable: Active SessionId = " << candidate.id
          << L", State = " << candidate.state << L"\n";
      *session = candidate.id;
      return 0;
    } else {
      VX_LOG(VX_LOG_NORMAL, kFunction) << L"_IsActiveOrAdminSessionAvailable: SessionId = "
                                       << candidate.id << L", State = " << candidate.state
                                       << L"\n";
      if (!adminFound) {
        *session = candidate.id;
        CVxUserToken token;
        adminFound = _GetSessionToken(candidate.id, token) && _IsTokenAdmin(&token);
      }
    }
  }
  if (adminFound) return 0;
  return ERROR_NO_SUCH_LOGON_SESSION;
}

bool CCPHelper::_IsSessionOfUser(std::uint32_t session, const wchar_t* user,
                                 const wchar_t* domain) {
  if (!given(user)) return false;
  std::vector<CVxUserSession> sessions;
  if (enumerateSessions(sessions) != 0) return false;
  for (const CVxUserSession& candidate : sessions) {
    CVxUserToken token;
    if (candidate.id == session && CVxUserToken::fromUid(candidate.uid, token)) {
      return vxprocess::tokenMatchesUser(token, user, orEmpty(domain));
    }
  }
  return false;
}

bool CCPHelper::_IsProcessOfUser(std::uint32_t pid, const wchar_t* user, const wchar_t* domain) {
  CVxUserToken token;
  if (pid == 0 || !given(user) || !CVxUserToken::fromProcess(static_cast<pid_t>(pid), token)) {
    return false;
  }
  return vxprocess::tokenMatchesUser(token, user, orEmpty(domain));
}

std::uint32_t CCPHelper::_GetShellPid(std::uint32_t& pid, const wchar_t* user,
                                      const wchar_t* domain) {
  CVxUserSession session;
  const std::uint32_t error = findShellSession(session, user, domain);
  pid = error == 0 ? static_cast<std::uint32_t>(session.leader) : 0;
  return error;
}

std::uint32_t CCPHelper::findShellSession(CVxUserSession& found, const wchar_t* user,
                                          const wchar_t* domain) {
  constexpr const wchar_t* kFunction = L"CCPHelper::_GetShellPid";
  std::vector<CVxUserSession> sessions;
  if (const std::uint32_t error = enumerateSessions(sessions); error != 0) {
    VX_LOG(VX_LOG_ERROR, kFunction) << L"EnumProcesses failed. ErrorCode: " << error;
    return error;
  }
  for (const CVxUserSession& candidate : sessions) {
    if (candidate.leader <= 0) continue;
    const auto leader = static_cast<std::uint32_t>(candidate.leader);
    // The user is the session's, not the leader process's (see tokenOfSession).
    CVxUserToken token;
    if (given(user) && !(CVxUserToken::fromUid(candidate.uid, token) &&
                         vxprocess::tokenMatchesUser(token, user, orEmpty(domain)))) {
      VX_LOG(VX_LOG_NORMAL, kFunction) << L"Shell PID = " << leader << L" doesnt match " << user
                                       << L"," << orEmpty(domain);
      continue;
    }
    VX_LOG(VX_LOG_NORMAL, kFunction) << L"The Current Shell PID = " << leader;
    found = candidate;
    return 0;
  }
  VX_LOG(VX_LOG_ERROR, kFunction) << L"Could not find the Shell PID";
  return platform::kErrorFileNotFound;
}

std::vector<std::string> CCPHelper::_LoadProfileAndEnvironment(const CVxUserToken& token) {
  std::vector<std::string> environment = {
      "HOME=" + token.home,       "USER=" + token.user,
      "LOGNAME=" + token.user,    "SHELL=" + token.shell,
      std::string("PATH=") + kUserPath,
  };
  if (const std::string runtime = runtimeFolderOf(token.uid); !runtime.empty()) {
    environment.push_back("XDG_RUNTIME_DIR=" + runtime);
  }
  return environment;
}

CVxChildProcess CCPHelper::_RunProcessAsUserNT(const std::wstring& commandLine,
                                               std::uint32_t& error, const std::wstring& folder,
                                               const wchar_t* user, const wchar_t* domain) {
  constexpr const wchar_t* kFunction = L"CCPHelper::_RunProcessAsUserNT";
  CVxUserSession session;
  if (const std::uint32_t result = findShellSession(session, user, domain); result != 0) {
    error = result;
    VX_LOG(VX_LOG_ERROR, kFunction)
        << L"CCPHelper::_RunProcessAsUserNT: _GetShellPid returned " << result;
    return {};
  }
  CVxUserToken token;
  if (!CVxUserToken::fromUid(session.uid, token)) {
    error = ERROR_NONE_MAPPED;
    VX_LOG(VX_LOG_ERROR, kFunction)
        << L"CCPHelper::_RunProcessAsUserNT: no account for user " << session.uid
        << L" of the shell " << session.leader << L". ErrorCode: " << error;
    return {};
  }
  if (const std::uint32_t result = enablePrivileges(kFunction, kFunction); result != 0) {
    error = result;
    return {};
  }
  const std::vector<std::string> environment = _LoadProfileAndEnvironment(token);
  CVxChildProcess child = spawn(commandLine, folder, &environment, &token, error);
  if (!child) {
    VX_LOG(VX_LOG_ERROR, kFunction)
        << L"CCPHelper::_RunProcessAsUserNT: CreateProcessAsUser failed. GetLastError = "
        << error;
    return {};
  }
  error = 0;
  return child;
}

CVxChildProcess CCPHelper::_RunProcessAsUserXP(const std::wstring& commandLine,
                                               std::uint32_t& error, const std::wstring& folder,
                                               bool adminSessionOnly, const wchar_t* user,
                                               const wchar_t* domain) {
  constexpr const wchar_t* kFunction = L"CCPHelper::_RunProcessAsUserXP";
  error = platform::kErrorInvalidParameter;
  std::uint32_t session = VX_NO_SESSION;
  const std::uint32_t chosen = adminSessionOnly
                                   ? _IsAdminSessionAvailable(&session)
                                   : _IsActiveOrAdminSessionAvailable(&session, user, domain);
  error = chosen;
  if (chosen != 0) {
    VX_LOG(VX_LOG_ERROR, kFunction)
        << L"CCPHelper::_RunProcessAsUserXP(): "
        << (adminSessionOnly ? L"Admin" : L"Active")
        << L" Session Is Not Available. GetLastError() returned " << chosen << L"\n";
    return {};
  }
  if (const std::uint32_t result = enablePrivileges(kFunction, kFunction); result != 0) {
    error = result;
    return {};
  }
  CVxUserToken token;
  if (const std::uint32_t tokenError = tokenOfSession(session, token); tokenError != 0) {
    error = tokenError;
    VX_LOG(VX_LOG_ERROR, kFunction) << L"WTSQueryUserToken failed. Session ID = " << session
                                    << L", GetLastError = " << tokenError;
    return {};
  }
  const std::vector<std::string> environment = _LoadProfileAndEnvironment(token);
  CVxChildProcess child = spawn(commandLine, folder, &environment, &token, error);
  if (!child) {
    VX_LOG(VX_LOG_ERROR, kFunction) << L"CreateProcessAsUser for XP failed. GetLastError = "
                                    << error;
    return {};
  }
  VX_LOG(VX_LOG_NORMAL, kFunction) << L"Successfully created process (" << commandLine
                                   << L") in the current users context";
  error = 0;
  return child;
}
