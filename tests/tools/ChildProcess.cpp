#include "tests/tools/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

extern char** environ;

namespace {

struct Pipe {
  platform::UniqueFileDescriptor read;
  platform::UniqueFileDescriptor write;
  bool open() {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return false;
    read.reset(ends[0]);
    write.reset(ends[1]);
    return true;
  }
};

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment, int stdoutPipeBytes,
                           const std::vector<int>& blockedSignals) {
  Pipe out;
  Pipe err;
  if (!out.open() || !err.open()) return;
  if (stdoutPipeBytes > 0 && fcntl(out.write.get(), F_SETPIPE_SZ, stdoutPipeBytes) < 0) return;
  std::vector<std::string> argvText{program};
  argvText.insert(argvText.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& text : argvText) argv.push_back(text.data());
  argv.push_back(nullptr);
  // The test's settings replace inherited ones of the same name.
  auto overridden = [&](const std::string& entry) {
    const std::string name = entry.substr(0, entry.find('=') + 1);
    for (const auto& setting : environment) {
      if (setting.compare(0, name.size(), name) == 0) return true;
    }
    return false;
  };
  std::vector<std::string> envText;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!overridden(*entry)) envText.emplace_back(*entry);
  }
  envText.insert(envText.end(), environment.begin(), environment.end());
  std::vector<char*> envp;
  for (auto& text : envText) envp.push_back(text.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out.write.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write.get(), STDERR_FILENO);
  // The child starts with the default SIGINT action and nothing blocked but what
  // the test asks for, whatever the test runner set up for itself.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int signal : blockedSignals) sigaddset(&blocked, signal);
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  posix_spawnattr_setsigmask(&attributes, &blocked);
  posix_spawnattr_setsigdefault(&attributes, &interrupt);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), &actions, &attributes, argv.data(), envp.data()) == 0) pid_ = pid;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  out_ = std::move(out.read);
  err_ = std::move(err.read);
}

ChildProcess::~ChildProcess() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

bool ChildProcess::readSome(std::chrono::steady_clock::time_point deadline, bool out, bool err) {
  std::vector<pollfd> waits;
  if (out && out_.valid()) waits.push_back({out_.get(), POLLIN, 0});
  if (err && err_.valid()) waits.push_back({err_.get(), POLLIN, 0});
  if (waits.empty()) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) {
    result_.timedOut = true;
    return false;
  }
  const int ready = poll(waits.data(), waits.size(), static_cast<int>(left.count()));
  if (ready < 0 && errno == EINTR) return true;
  if (ready <= 0) {
    result_.timedOut = ready == 0;
    return false;
  }
  for (const pollfd& wait : waits) {
    if (wait.revents == 0) continue;
    const bool isOut = wait.fd == out_.get();
    char buffer[4096];
    const ssize_t got = read(wait.fd, buffer, sizeof buffer);
    if (got > 0) {
      (isOut ? result_.out : result_.err).append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      (isOut ? out_ : err_).reset();
    }
  }
  return true;
}

std::optional<std::string> ChildProcess::waitForLine(Stream stream,
                                                     const std::function<bool(const std::string&)>& wanted) {
  const bool isOut = stream == Stream::Out;
  const std::string& text = isOut ? result_.out : result_.err;
  std::size_t& start = lineStart_[isOut ? 0 : 1];
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  for (;;) {
    std::size_t end;
    while ((end = text.find('\n', start)) != std::string::npos) {
      std::string line = text.substr(start, end - start);
      start = end + 1;
      if (wanted(line)) return line;
    }
    if (!readSome(deadline, isOut, !isOut)) return std::nullopt;
  }
}

void ChildProcess::sendSignal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

void ChildProcess::closeOutput() { out_.reset(); }

ChildProcess::Result ChildProcess::finish() {
  const auto deadline = std::chrono::steady_clock::now() + kDeadline;
  while (readSome(deadline, true, true)) {
  }
  if (pid_ <= 0) return result_;
  if (result_.timedOut) kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFEXITED(status)) result_.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
  return result_;
}

ChildProcess::Result runToEnd(const std::string& program, const std::vector<std::string>& arguments,
                              const std::vector<std::string>& environment) {
  ChildProcess child(program, arguments, environment);
  if (!child.started()) return {};
  return child.finish();
}
