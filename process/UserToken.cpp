#include "process/UserToken.h"

#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <sstream>

#include "platform/Utf8.h"

namespace vxprocess {
namespace {

bool equalNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

std::string narrow(const std::wstring& text) { return platform::encodeUtf8(text.data(), text.size()); }

// The real user id of a process from /proc/<pid>/status ("Uid:" real effective ...).
bool processRealUid(pid_t pid, uid_t& uid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  for (int lines = 0; lines < 64 && std::getline(status, line); ++lines) {
    if (line.rfind("Uid:", 0) != 0) continue;
    std::istringstream fields(line.substr(4));
    unsigned long value = 0;
    if (!(fields >> value)) return false;
    uid = static_cast<uid_t>(value);
    return true;
  }
  return false;
}

}  // namespace

bool CVxUserToken::fromUid(uid_t uid, CVxUserToken& token) {
  std::array<char, 16384> buffer{};
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  token = CVxUserToken{};
  token.uid = entry.pw_uid;
  token.gid = entry.pw_gid;
  token.user = entry.pw_name;
  token.home = entry.pw_dir;
  token.shell = entry.pw_shell;
  // getgrouplist answers -1 and the number it needs when the list is short; the
  // group database may grow between two calls, so ask until the list fits.
  int count = 64;
  for (;;) {
    token.groups.resize(static_cast<std::size_t>(count));
    const int capacity = count;
    if (getgrouplist(entry.pw_name, entry.pw_gid, token.groups.data(), &count) >= 0) break;
    if (count <= capacity) return false;  // a failure that is not a short list
  }
  token.groups.resize(static_cast<std::size_t>(count));
  return true;
}

bool CVxUserToken::fromProcess(pid_t pid, CVxUserToken& token) {
  uid_t uid = 0;
  return pid > 0 && processRealUid(pid, uid) && fromUid(uid, token);
}

CVxUserToken CVxUserToken::own() {
  CVxUserToken token;
  if (!fromUid(getuid(), token)) {
    token.uid = getuid();
    token.gid = getgid();
  }
  return token;
}

bool CVxUserToken::isAdmin() const {
  if (uid == 0) return true;
  for (const char* name : {"sudo", "wheel"}) {
    std::array<char, 16384> buffer{};
    group entry{};
    group* found = nullptr;
    if (getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
      continue;
    }
    for (gid_t member : groups) {
      if (member == entry.gr_gid) return true;
    }
  }
  return false;
}

std::string localDomain() {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0) return {};
  return name.data();
}

bool tokenMatchesUser(const CVxUserToken& token, const std::wstring& user,
                      const std::wstring& domain) {
  if (user.empty() || !equalNoCase(token.user, narrow(user))) return false;
  return domain.empty() || equalNoCase(localDomain(), narrow(domain));
}

}  // namespace vxprocess
