// A process that the module enumeration tests drive to hold executable mappings
// the way an odd or hostile program would. Commands arrive on stdin, each ended by
// a NUL byte (so that a path may hold a newline); each is answered with one byte on
// stdout, 'R' done or 'E' failed, once its mappings are in place. The holder ends
// when stdin closes.
//
//   map PATH           maps PATH executable
//   memfd NAME         maps a new memfd called NAME executable
//   repeat N PATH      maps PATH executable N times, each its own mapping
//   move PATH          maps PATH executable beside a few thousand other mappings
//                      and keeps moving it with mremap from one end of them to the
//                      other, until stdin closes
//   memfdof NAME\tPATH maps a new memfd called NAME, holding PATH's bytes,
//                      executable
//   swap A\tB          keeps exchanging the names A and B (renameat2 with
//                      RENAME_EXCHANGE), until stdin closes
//
// Built without sanitizers: it lays out its own address space.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const std::size_t kPage = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
// Mappings around the moving one: enough that its maps take many of the
// kernel's page-sized reads.
constexpr std::size_t kOtherMappings = 4000;

bool answer(bool done) {
  const char reply = done ? 'R' : 'E';
  return write(STDOUT_FILENO, &reply, 1) == 1;
}

// The next command, or false at the end of stdin.
bool nextCommand(std::string& command) {
  command.clear();
  char c = 0;
  for (;;) {
    const ssize_t count = read(STDIN_FILENO, &c, 1);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    if (c == '\0') return true;
    command.push_back(c);
  }
}

void* mapExecutable(int fd, void* at = nullptr) {
  const int flags = MAP_PRIVATE | (at != nullptr ? MAP_FIXED : 0);
  void* mapped = mmap(at, kPage, PROT_READ | PROT_EXEC, flags, fd, 0);
  return mapped == MAP_FAILED ? nullptr : mapped;
}

bool mapFile(const std::string& path, long times) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool mapped = true;
  for (long i = 0; i < times && mapped; ++i) mapped = mapExecutable(fd) != nullptr;
  close(fd);
  return mapped;
}

bool mapMemfd(const std::string& name) {
  const int fd = memfd_create(name.c_str(), MFD_CLOEXEC);
  if (fd < 0) return false;
  const std::string content = "memfd content of " + name;
  const bool mapped = ftruncate(fd, static_cast<off_t>(kPage)) == 0 &&
                      pwrite(fd, content.data(), content.size(), 0) == static_cast<ssize_t>(content.size()) &&
                      mapExecutable(fd) != nullptr;
  close(fd);
  return mapped;
}

// A memfd called `name` with the bytes of the file at `path`.
bool mapMemfdOf(const std::string& name, const std::string& path) {
  const int source = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (source < 0) return false;
  const int fd = memfd_create(name.c_str(), MFD_CLOEXEC);
  bool copied = fd >= 0;
  char buffer[65536];
  for (ssize_t count; copied && (count = read(source, buffer, sizeof buffer)) != 0;) {
    copied = count > 0 && write(fd, buffer, static_cast<std::size_t>(count)) == count;
  }
  close(source);
  const bool mapped = copied && mapExecutable(fd) != nullptr;
  if (fd >= 0) close(fd);
  return mapped;
}

// How long one read of our own maps takes, the longest of a few.
std::chrono::nanoseconds mapsReadTime() {
  std::chrono::nanoseconds longest{0};
  char buffer[65536];
  for (int i = 0; i < 5; ++i) {
    const auto begin = std::chrono::steady_clock::now();
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) break;
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
    close(fd);
    longest = std::max(longest, std::chrono::steady_clock::now() - begin);
  }
  return longest;
}

// Keeps the slot a moved mapping left, so that nothing else is mapped there.
bool holdSlot(char* slot) {
  return mmap(slot, kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED;
}

// Waits for `pause` or the end of stdin; false at the end.
bool pauseUnlessDone(std::chrono::nanoseconds pause) {
  const timespec timeout{static_cast<time_t>(pause.count() / 1'000'000'000),
                         static_cast<long>(pause.count() % 1'000'000'000)};
  pollfd in{STDIN_FILENO, POLLIN, 0};
  const int ready = ppoll(&in, 1, &timeout, nullptr);
  if (ready <= 0) return true;
  char c = 0;
  return read(STDIN_FILENO, &c, 1) > 0;
}

// The moving mapping sits at the low or the high end of a run of mappings that
// alternate between two protections (so that none merge). Moved from the high end
// to the low one while a reader is in between, it is behind the reader and a
// single pass over the maps misses it. It stays in each place several times as
// long as a read of the maps takes, so a reader that reads until two passes agree
// finds a quiet spell.
int move(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    answer(false);
    return 1;
  }
  const std::size_t pages = 2 * kOtherMappings + 2;
  auto* run = static_cast<char*>(mmap(nullptr, pages * kPage, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  bool ready = run != MAP_FAILED;
  for (std::size_t page = 1; ready && page + 1 < pages; page += 2)
    ready = mprotect(run + page * kPage, kPage, PROT_READ) == 0;
  char* const low = run;
  char* const high = run + (pages - 1) * kPage;
  ready = ready && mapExecutable(fd, high) != nullptr;
  close(fd);
  if (!answer(ready) || !ready) return 1;
  const auto stay = std::max<std::chrono::nanoseconds>(10 * mapsReadTime(), std::chrono::milliseconds(1));
  char* at = high;
  while (pauseUnlessDone(stay)) {
    char* const to = at == high ? low : high;
    if (mremap(at, kPage, kPage, MREMAP_MAYMOVE | MREMAP_FIXED, to) == MAP_FAILED || !holdSlot(at)) return 1;
    at = to;
  }
  return 0;
}

// Exchanges the two names as fast as it can; a reader that looks at one name and
// then opens it may find the other file there.
int exchangeNames(const std::string& first, const std::string& second) {
  const bool ready = renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0;
  if (!answer(ready) || !ready) return 1;
  pollfd in{STDIN_FILENO, POLLIN, 0};
  while (poll(&in, 1, 0) == 0) {
    if (renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) != 0) return 1;
  }
  return 0;
}

// "A\tB" split at its tab.
bool splitPair(const std::string& argument, std::string& first, std::string& second) {
  const std::size_t tab = argument.find('\t');
  if (tab == std::string::npos) return false;
  first = argument.substr(0, tab);
  second = argument.substr(tab + 1);
  return true;
}

}  // namespace

int main() {
  std::signal(SIGPIPE, SIG_IGN);
  std::string command;
  while (nextCommand(command)) {
    const std::size_t blank = command.find(' ');
    const std::string verb = command.substr(0, blank);
    const std::string argument = blank == std::string::npos ? std::string() : command.substr(blank + 1);
    bool done = false;
    if (verb == "map") {
      done = mapFile(argument, 1);
    } else if (verb == "memfd") {
      done = mapMemfd(argument);
    } else if (verb == "repeat") {
      char* end = nullptr;
      const long times = std::strtol(argument.c_str(), &end, 10);
      done = times > 0 && *end == ' ' && mapFile(end + 1, times);
    } else if (verb == "move") {
      return move(argument);
    } else if (verb == "memfdof") {
      std::string name, path;
      done = splitPair(argument, name, path) && mapMemfdOf(name, path);
    } else if (verb == "swap") {
      std::string first, second;
      if (splitPair(argument, first, second)) return exchangeNames(first, second);
    }
    if (!answer(done)) return 1;
  }
  return 0;
}
