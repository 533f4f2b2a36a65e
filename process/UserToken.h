#pragma once
// CVxUserToken: what a Windows access token stands for on Linux: the identity a
// child is started with (user id, primary group id, supplementary groups) and
// the names that describe it. The user's "domain" is the host name, as a local
// account's domain is the computer name on Windows.
//
// Plain value; safe to copy between threads.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vxprocess {

struct CVxUserToken {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
  std::string user;     // passwd name
  std::string home;     // passwd home folder (the user's profile)
  std::string shell;    // passwd login shell

  // The token of a user id from its passwd entry and the group list initgroups
  // would set for it (getgrouplist: the primary group and every group that
  // names the user), looked up here because a child between fork and exec
  // cannot do the lookup itself. False when the user has no passwd entry.
  static bool fromUid(uid_t uid, CVxUserToken& token);
  // The token of a running process: its real user's entry.
  static bool fromProcess(pid_t pid, CVxUserToken& token);
  // The token of the calling process.
  static CVxUserToken own();

  // Administrators: the super-user and members of the "sudo" or "wheel" group.
  bool isAdmin() const;
};

// The host name, the domain of every local user.
std::string localDomain();

// Case-insensitive match of a token's user (and, when domain is given, the
// local domain) with the given names.
bool tokenMatchesUser(const CVxUserToken& token, const std::wstring& user,
                      const std::wstring& domain);

}  // namespace vxprocess
