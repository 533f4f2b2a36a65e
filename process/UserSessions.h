#pragma once
// The login sessions of the machine, as systemd-logind keeps them (sd-login):
// the stand-in for the terminal-services session list. A session in the
// foreground of its seat is "active" (WTSActive, 0); one that is logged in but
// not in the foreground is "online" and counts as disconnected
// (WTSDisconnected, 4); sessions that are closing are left out.
//
// Stateless; safe from any thread.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vxprocess {

inline constexpr std::uint32_t WTSActive = 0;
inline constexpr std::uint32_t WTSDisconnected = 4;

struct CVxUserSession {
  std::string name;          // logind's session name, such as "2" or "c1"
  std::uint32_t id = 0;      // the number in the name, the session id of log lines
  std::uint32_t state = WTSActive;
  uid_t uid = 0;
  pid_t leader = 0;          // the session leader, the "shell" of the session; often a
                             // root-owned login, sshd or display manager, so its own
                             // identity is never the session's user
};

// The sessions in logind's order. 0 (an empty list when logind keeps no
// sessions, as on a machine without it) or the Windows code of the failure.
std::uint32_t enumerateUserSessions(std::vector<CVxUserSession>& sessions);

}  // namespace vxprocess
