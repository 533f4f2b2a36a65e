#include "platform/ProcessModules.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <unordered_set>

namespace platform {

namespace {

constexpr std::string_view kDeletedSuffix = " (deleted)";

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool parsePid(const char* name, pid_t& pid) {
  const std::string_view text(name);
  if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), pid);
  return ec == std::errc() && end == text.data() + text.size();
}

// The pids of /proc in ascending order, or the error of opening /proc.
std::uint32_t listProcesses(std::vector<pid_t>& pids) {
  std::unique_ptr<DIR, DirCloser> dir(opendir("/proc"));
  if (!dir) return static_cast<std::uint32_t>(errno);
  while (const dirent* entry = readdir(dir.get())) {
    pid_t pid = 0;
    if (parsePid(entry->d_name, pid)) pids.push_back(pid);
  }
  std::sort(pids.begin(), pids.end());
  return 0;
}

// The whole map at once, so that a process that vanishes half-way is skipped
// rather than offered in part.
bool readMaps(pid_t pid, std::string& text) {
  const std::string path = "/proc/" + std::to_string(pid) + "/maps";
  FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  char buffer[16384];
  for (;;) {
    const ssize_t count = read(fd.get(), buffer, sizeof buffer);
    if (count == 0) return true;
    if (count < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.append(buffer, static_cast<std::size_t>(count));
  }
}

std::string_view nextField(std::string_view& line) {
  const std::size_t begin = line.find_first_not_of(' ');
  if (begin == std::string_view::npos) {
    line = {};
    return {};
  }
  line.remove_prefix(begin);
  const std::size_t end = std::min(line.find(' '), line.size());
  const std::string_view field = line.substr(0, end);
  line.remove_prefix(end);
  return field;
}

template <class T>
bool parseNumber(std::string_view text, int base, T& value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// "start-end perms offset dev inode    path"; the path is the rest of the line
// and may hold blanks of its own.
bool parseMapping(std::string_view line, ExecutableMapping& mapping) {
  const std::string_view range = nextField(line);
  const std::string_view perms = nextField(line);
  nextField(line);  // offset
  nextField(line);  // device
  const std::string_view inode = nextField(line);
  const std::size_t pathBegin = line.find_first_not_of(' ');
  if (pathBegin == std::string_view::npos) return false;
  const std::string_view path = line.substr(pathBegin);
  if (perms.size() < 3 || perms[2] != 'x' || path.front() != '/') return false;
  if (!parseNumber(inode, 10, mapping.inode) || mapping.inode == 0) return false;
  if (!parseNumber(range.substr(0, range.find('-')), 16, mapping.start)) return false;
  mapping.path.assign(path);
  return true;
}

// A map shows a file removed after mapping as its old name plus " (deleted)".
// That name opens nothing, or a different file, so such a mapping is not offered;
// a file whose own name ends so is recognised by its inode.
bool isReachableByPath(const ExecutableMapping& mapping) {
  const std::string_view path = mapping.path;
  if (path.size() < kDeletedSuffix.size() ||
      path.substr(path.size() - kDeletedSuffix.size()) != kDeletedSuffix)
    return true;
  struct stat status {};
  return stat(mapping.path.c_str(), &status) == 0 &&
         static_cast<std::uint64_t>(status.st_ino) == mapping.inode;
}

}  // namespace

std::vector<ExecutableMapping> parseExecutableMappings(std::string_view mapsText) {
  std::vector<ExecutableMapping> mappings;
  while (!mapsText.empty()) {
    const std::size_t end = std::min(mapsText.find('\n'), mapsText.size());
    ExecutableMapping mapping;
    if (parseMapping(mapsText.substr(0, end), mapping)) mappings.push_back(std::move(mapping));
    mapsText.remove_prefix(std::min(end + 1, mapsText.size()));
  }
  std::stable_sort(mappings.begin(), mappings.end(),
                   [](const ExecutableMapping& a, const ExecutableMapping& b) { return a.start < b.start; });
  return mappings;
}

ProcessModuleWalk forEachProcessModule(const ProcessModuleVisitor& visit) {
  ProcessModuleWalk walk;
  std::vector<pid_t> pids;
  walk.systemError = listProcesses(pids);
  if (walk.systemError != 0) return walk;
  std::unordered_set<std::string> seen;
  for (const pid_t pid : pids) {
    std::string maps;
    if (!readMaps(pid, maps)) continue;
    for (ExecutableMapping& mapping : parseExecutableMappings(maps)) {
      if (!isReachableByPath(mapping) || !seen.insert(mapping.path).second) continue;
      if (visit(mapping.path)) {
        walk.stopped = true;
        return walk;
      }
    }
  }
  return walk;
}

}  // namespace platform
