// A child for the process tests. Modes:
//   ArgvWriter <file> [arguments...]  writes its nice value, working folder and
//                                     arguments (after <file>) to <file>, one NUL
//                                     after each
//   ArgvWriter --exit <n>             ends with exit code n
//   ArgvWriter --fifo <path>          opens the FIFO for writing (blocking until a
//                                     reader comes) and writes "alive"
//   ArgvWriter --fds <file>           writes the numbers of its open descriptors
//                                     (those of /proc/self/fd but the listing's
//                                     own), one NUL after each
//   ArgvWriter --identity <file>      writes "argv0=", "uid=", "euid=", "gid=",
//                                     "egid=", "groups=" (sorted, comma-separated),
//                                     "nice=", "cwd=" and then "env:" before each
//                                     environment entry, one NUL after each
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

int writeDescriptors(const char* file) {
  DIR* listing = opendir("/proc/self/fd");
  if (listing == nullptr) return 2;
  std::vector<std::string> numbers;
  while (const dirent* entry = readdir(listing)) {
    if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(listing)) continue;
    numbers.emplace_back(entry->d_name);
  }
  closedir(listing);
  std::ofstream out(file, std::ios::binary);
  for (const std::string& number : numbers) out << number << '\0';
  return out ? 0 : 3;
}

int writeIdentity(const char* file, const char* argv0) {
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(getgroups(0, nullptr), 0)));
  if (getgroups(static_cast<int>(groups.size()), groups.data()) < 0) return 2;
  std::sort(groups.begin(), groups.end());
  std::string groupList;
  for (const gid_t group : groups) groupList += (groupList.empty() ? "" : ",") + std::to_string(group);
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, 0);
  char folder[4096] = {};
  if (getcwd(folder, sizeof folder) == nullptr) return 2;
  std::ofstream out(file, std::ios::binary);
  out << "argv0=" << argv0 << '\0' << "uid=" << getuid() << '\0' << "euid=" << geteuid() << '\0'
      << "gid=" << getgid() << '\0' << "egid=" << getegid() << '\0' << "groups=" << groupList << '\0'
      << "nice=" << nice << '\0' << "cwd=" << folder << '\0';
  for (char** entry = environ; *entry != nullptr; ++entry) out << "env:" << *entry << '\0';
  return out ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 64;
  if (argc == 3 && std::strcmp(argv[1], "--exit") == 0) return std::atoi(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--fifo") == 0) {
    std::ofstream fifo(argv[2]);
    fifo << "alive";
    return fifo ? 0 : 1;
  }
  if (argc == 3 && std::strcmp(argv[1], "--fds") == 0) return writeDescriptors(argv[2]);
  if (argc == 3 && std::strcmp(argv[1], "--identity") == 0) return writeIdentity(argv[2], argv[0]);
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, 0);
  char folder[4096] = {};
  if (getcwd(folder, sizeof folder) == nullptr) return 2;
  std::ofstream out(argv[1], std::ios::binary);
  out << nice << '\0' << folder << '\0';
  for (int i = 2; i < argc; ++i) out << argv[i] << '\0';
  return out ? 0 : 3;
}
