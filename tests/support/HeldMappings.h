#pragma once
// HeldMappings: the child of tests/documents/MappingHolder.cpp, which maps what the
// test tells it to, the way an odd or hostile program would, and lives until
// destroyed. See MappingHolder.cpp for the commands.
//
// One owner; not shared between threads.
#include <sys/types.h>

#include <string>

#include "tests/support/PipedChild.h"

class HeldMappings {
 public:
  explicit HeldMappings(const std::string& program) : child_(program, {}) {}

  // Sends one command; true once the child reports it done.
  bool run(const std::string& command) { return child_.send(command + '\0') && child_.waitReady(); }
  pid_t pid() const { return child_.pid(); }

 private:
  PipedChild child_;
};
