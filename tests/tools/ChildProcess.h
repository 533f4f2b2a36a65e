#pragma once
// ChildProcess: runs a program with its stdout and stderr on pipes, so that a test
// can read its output as it comes, signal it at a chosen moment and collect its
// exit status. Output is read with poll() on both pipes at once, so a child that
// fills one pipe while the test waits on the other never blocks.
//
// A test can also hold the child back: with a small stdout pipe that the test
// stops reading, the child blocks in its next write until the test reads again.
//
// Every wait has a generous deadline; a child that misses it is killed and the
// wait reports it, so a hung child fails the test instead of hanging it.
//
// Thread-safety: one thread at a time.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/UniqueFileDescriptor.h"

class ChildProcess {
 public:
  struct Result {
    int exitCode = -1;   // the exit status, or -1 when it ended by a signal
    int signal = 0;      // the signal that ended it
    bool timedOut = false;
    std::string out;     // all of stdout
    std::string err;     // all of stderr
  };

  enum class Stream { Out, Err };

  static constexpr std::chrono::seconds kDeadline{240};

  // Starts `program` with `arguments`; `environment` entries ("NAME=value") are
  // added to the test's own environment, replacing inherited ones of the same
  // name. A stdoutPipeBytes other than 0 sets the capacity of the stdout pipe
  // (the kernel rounds it up to a page). The child starts with `blockedSignals`
  // blocked and every other signal unblocked, so that a signal sent before it
  // unblocks or watches it waits for it. Check started() before anything else.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment, int stdoutPipeBytes = 0,
               const std::vector<int>& blockedSignals = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // Reads `stream`, and only it, until it has a complete line for which `wanted`
  // is true and returns it; nothing when the stream ended (or the deadline passed)
  // first. Lines are handed out once.
  std::optional<std::string> waitForLine(Stream stream, const std::function<bool(const std::string&)>& wanted);
  void sendSignal(int signal);
  // Closes the test's end of the child's stdout: the child's next write to it
  // meets a broken pipe.
  void closeOutput();
  // Reads both pipes to their end and waits for the exit.
  Result finish();

 private:
  // One poll round over the open pipes of the streams asked for; false when they
  // are closed or the deadline passed.
  bool readSome(std::chrono::steady_clock::time_point deadline, bool out, bool err);

  pid_t pid_ = -1;
  platform::UniqueFileDescriptor out_;
  platform::UniqueFileDescriptor err_;
  Result result_;
  std::size_t lineStart_[2] = {0, 0};  // per stream, the first byte not yet handed out
};

// Runs the program to its end.
ChildProcess::Result runToEnd(const std::string& program, const std::vector<std::string>& arguments,
                              const std::vector<std::string>& environment);
