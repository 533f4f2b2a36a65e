#pragma once
// PipedChild: a child process whose stdin the test writes and whose stdout tells,
// one byte at a time, when the child is ready ('R'; anything else is a failure).
// The child ends when its stdin closes, which the destructor does before it waits
// for it. Every wait has a generous deadline.
//
// One owner; not shared between threads.
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

class PipedChild {
 public:
  // `environment`: the child's whole environment ("NAME=value" entries).
  PipedChild(const std::string& program, const std::vector<std::string>& environment);
  ~PipedChild();
  PipedChild(const PipedChild&) = delete;
  PipedChild& operator=(const PipedChild&) = delete;

  bool send(std::string_view bytes);
  // True once the child answers 'R'.
  bool waitReady();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int stdinWrite_ = -1;
  int stdoutRead_ = -1;
};
