#include "tests/support/HeldModule.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr char kProgram[] = "/bin/sleep";

std::string readAll(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool writeAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t count = write(fd, bytes.data() + done, bytes.size() - done);
    if (count <= 0) return false;
    done += static_cast<std::size_t>(count);
  }
  return true;
}

bool writeFile(const fs::path& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0755);
  if (fd < 0) return false;
  const bool written = writeAll(fd, bytes);
  return close(fd) == 0 && written;
}

}  // namespace

HeldModule::HeldModule(Kind kind, const fs::path& folder, const std::string& name, const std::string& extra,
                       const std::string& library, int holders)
    : kind_(kind) {
  const bool isLibrary = kind == Kind::DeletedLibrary;
  content_ = readAll(isLibrary ? fs::path(library) : fs::path(kProgram)) + extra;
  if (kind == Kind::MemfdProgram) {
    path_ = name;
    const int memory = memfd_create(name.c_str(), 0);  // inherited: the child runs it
    struct stat status {};
    if (memory < 0 || !writeAll(memory, content_) || fstat(memory, &status) != 0) {
      failure_ = "memfd";
    } else {
      inode_ = status.st_ino;
      spawn("/proc/self/fd/" + std::to_string(memory), {});
    }
    if (memory >= 0) close(memory);
    return;
  }
  path_ = folder / name;
  struct stat status {};
  if (!writeFile(path_, content_) || lstat(path_.c_str(), &status) != 0) {
    failure_ = "cannot write " + path_.string();
    return;
  }
  inode_ = status.st_ino;
  if (!(isLibrary ? spawn(kProgram, path_.string()) && waitPreloaded() : spawn(path_.string(), {}))) return;
  for (int more = 1; more < holders; ++more) {
    if (!spawn(path_.string(), {})) return;
  }
  std::error_code error;
  if (kind == Kind::ReplacedProgram) {
    const fs::path replacement = path_.string() + ".new";
    if (!writeFile(replacement, readAll(kProgram))) failure_ = "cannot write the replacement";
    fs::rename(replacement, path_, error);
  } else {
    fs::remove(path_, error);
  }
  if (error) failure_ = error.message();
}

HeldModule::~HeldModule() {
  if (stdoutRead_ >= 0) close(stdoutRead_);
  for (const pid_t pid : pids_) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// posix_spawn returns once the child has run exec, so the program is mapped by then.
bool HeldModule::spawn(const std::string& program, const std::string& preload) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    failure_ = "pipe";
    return false;
  }
  if (stdoutRead_ >= 0) close(stdoutRead_);
  stdoutRead_ = out[0];
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  const std::string preloadVariable = "LD_PRELOAD=" + preload;
  std::vector<char*> environment;
  if (!preload.empty()) environment.push_back(const_cast<char*>(preloadVariable.c_str()));
  environment.push_back(nullptr);
  char* argv[] = {const_cast<char*>("held"), const_cast<char*>("infinity"), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environment.data()) == 0) {
    pids_.push_back(pid);
  } else {
    failure_ = "cannot start " + program;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  return pid > 0;
}

bool HeldModule::waitPreloaded() {
  pollfd fd{stdoutRead_, POLLIN, 0};
  char ready = 0;
  if (poll(&fd, 1, 60'000) == 1 && read(stdoutRead_, &ready, 1) == 1 && ready == 'R') return true;
  failure_ = "the library was not loaded";
  return false;
}

std::string HeldModule::reportName() const {
  const std::string holder = " [pid " + std::to_string(pid()) + ", inode " + std::to_string(inode_) + "]";
  switch (kind_) {
    case Kind::MemfdProgram: return "memfd:" + path_.string() + holder;
    default: return path_.string() + " (deleted)" + holder;
  }
}
