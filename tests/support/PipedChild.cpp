#include "tests/support/PipedChild.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

PipedChild::PipedChild(const std::string& program, const std::vector<std::string>& environment) {
  int in[2];
  int out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  stdinWrite_ = in[1];
  stdoutRead_ = out[0];
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  std::string name = program.substr(program.rfind('/') + 1);
  char* argv[] = {name.data(), nullptr};
  std::vector<std::string> entries = environment;
  std::vector<char*> envp;
  for (std::string& entry : entries) envp.push_back(entry.data());
  envp.push_back(nullptr);
  if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
}

PipedChild::~PipedChild() {
  if (stdinWrite_ >= 0) close(stdinWrite_);
  if (stdoutRead_ >= 0) close(stdoutRead_);
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
}

bool PipedChild::send(std::string_view bytes) {
  return pid_ > 0 && write(stdinWrite_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

bool PipedChild::waitReady() {
  if (pid_ <= 0) return false;
  pollfd fd{stdoutRead_, POLLIN, 0};
  char reply = 0;
  return poll(&fd, 1, 60'000) == 1 && read(stdoutRead_, &reply, 1) == 1 && reply == 'R';
}
