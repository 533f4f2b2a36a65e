#include "process/UserSessions.h"

#include <systemd/sd-login.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "platform/ErrorCodes.h"

namespace vxprocess {
namespace {

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// Frees logind's array of names and each name in it.
struct NameList {
  char** names = nullptr;
  int count = 0;
  ~NameList() {
    for (int i = 0; i < count; ++i) std::free(names[i]);
    std::free(names);
  }
};

std::uint32_t numberIn(const std::string& name) {
  const std::size_t digits = name.find_first_of("0123456789");
  if (digits == std::string::npos) return 0;
  return static_cast<std::uint32_t>(std::strtoul(name.c_str() + digits, nullptr, 10));
}

// logind's record of the session keeps its leader ("LEADER=<pid>"); this version
// of sd-login has no call for it. 0 when the record does not say.
pid_t sessionLeader(const char* name) {
  if (std::strchr(name, '/') != nullptr) return 0;
  std::ifstream record(std::string("/run/systemd/sessions/") + name);
  std::string line;
  for (int lines = 0; lines < 256 && std::getline(record, line); ++lines) {
    if (line.rfind("LEADER=", 0) == 0) {
      return static_cast<pid_t>(std::strtol(line.c_str() + 7, nullptr, 10));
    }
  }
  return 0;
}

// False for a session that is gone or closing.
bool readSession(const char* name, CVxUserSession& session) {
  char* rawState = nullptr;
  if (sd_session_get_state(name, &rawState) < 0) return false;
  const CString state(rawState);
  if (std::strcmp(state.get(), "active") == 0) {
    session.state = WTSActive;
  } else if (std::strcmp(state.get(), "online") == 0) {
    session.state = WTSDisconnected;
  } else {
    return false;
  }
  if (sd_session_get_uid(name, &session.uid) < 0) return false;
  session.leader = sessionLeader(name);
  session.name = name;
  session.id = numberIn(session.name);
  return true;
}

}  // namespace

std::uint32_t enumerateUserSessions(std::vector<CVxUserSession>& sessions) {
  sessions.clear();
  NameList list;
  const int count = sd_get_sessions(&list.names);
  if (count < 0) return platform::windowsErrorFromErrno(-count);
  list.count = count;
  for (int i = 0; i < count; ++i) {
    CVxUserSession session;
    if (readSession(list.names[i], session)) sessions.push_back(std::move(session));
  }
  return 0;
}

}  // namespace vxprocess
