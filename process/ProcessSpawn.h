#pragma once
// Starting a child: the one place that forks and executes.
//
// The executable is opened first, by descriptor and without following a
// symbolic link in any component, and that descriptor is what the child
// executes (execveat with AT_EMPTY_PATH); a caller that has examined the open
// file (its signature) therefore starts exactly the file it examined, even when
// the path is replaced in between. The child changes to the working folder,
// takes on the token's identity when one is given, and reports a failure of any
// of these steps back through a close-on-exec pipe, so the caller learns the
// error of a start that failed instead of a child that exits at once.
//
// A detached child is started through an intermediate process that ends at
// once: the child is then adopted by init, which reaps it, so a child nobody
// waits for never stays behind as a zombie of a long-running host. Its handle
// can set its priority but not wait for it.
//
// Safe from any thread: the child runs only async-signal-safe calls between
// fork and exec, everything it needs is prepared before the fork.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/UniqueFileDescriptor.h"
#include "process/ChildProcess.h"
#include "process/UserToken.h"

namespace vxprocess {

struct CVxSpawnRequest {
  std::vector<std::string> arguments;       // argv, arguments[0] the program name
  const std::vector<std::string>* environment = nullptr;  // null: the caller's
  std::string workingFolder;                // empty: the caller's
  const CVxUserToken* token = nullptr;      // null: the caller's identity
  int nice = 0;                             // the child's nice value from its start
  bool detached = false;                    // nobody will wait: not our child (see below)
};

// Opens an executable for starting it: a regular file, no symbolic link on the
// way. 0 or the Windows code (2 missing, 1921 a link, 5 not a regular file).
std::uint32_t openExecutable(const std::string& path, platform::UniqueFileDescriptor& file);

// Starts the opened executable. 0 and the child, or the Windows code of the
// failed step.
std::uint32_t spawnProcess(int executable, const CVxSpawnRequest& request, CVxChildProcess& child);

}  // namespace vxprocess
