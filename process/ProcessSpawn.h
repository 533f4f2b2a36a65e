#pragma once
// Starting a child: the one place that forks and executes.
//
// The executable is opened first, by descriptor, under the trust rule of
// platform/TrustedFile.h (it and every folder above it belong to root or the
// effective user, none is writable by group or others except a sticky folder,
// no component is a symbolic link, the file is a regular file); that
// descriptor is what the child executes (execveat with AT_EMPTY_PATH). A caller
// that has examined the open file (its signature) therefore starts exactly the
// file it examined: nobody but root or the effective user can replace the path
// or write the file in between. The working folder is opened the same way,
// without following a link, before the fork.
//
// The child gets only what it is given: every descriptor above 2 is marked
// close-on-exec before it executes (close_range, or a walk of /proc/self/fd
// where close_range cannot), so nothing the host holds open reaches it. It
// then takes on the token's identity when one is given, changes to the working
// folder with that identity's rights, and reports a failure of any of these
// steps back through a close-on-exec pipe, so the caller learns the error of a
// start that failed instead of a child that exits at once. Its priority is
// best effort: a child that cannot be given its nice value (a host that runs
// nice'd may not raise it) runs at the one it inherited, and the start logs a
// warning.
//
// A detached child is started through an intermediate process that ends at
// once: the child is then adopted by init, which reaps it, so a child nobody
// waits for never stays behind as a zombie of a long-running host. Its handle
// can set its priority but not wait for it.
//
// Scripts (a "#!" file) are not started: the interpreter would have to open the
// executed descriptor by its /proc/self/fd name, which close-on-exec takes away.
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
  int workingFolder = -1;                   // a folder from openFolder; -1: the caller's
  const CVxUserToken* token = nullptr;      // null: the caller's identity
  int nice = 0;                             // the child's nice value from its start
  bool detached = false;                    // nobody will wait: not our child (see below)
};

// Opens an executable for starting it under the trust rule. 0, 87 for a path
// with a NUL in it, or the code of the refusal (2 missing, 5 refused: a link,
// owned by another user, writable by others, not a regular file); a refusal is
// logged with its reason.
std::uint32_t openExecutable(const std::string& path, platform::UniqueFileDescriptor& file);

// Opens a folder to work in (O_PATH), no symbolic link on the way. 0 or the
// Windows code (3 missing, 1921 a link, 267 not a folder); the caller logs it.
std::uint32_t openFolder(const std::string& path, platform::UniqueFileDescriptor& folder);

// Starts the opened executable. 0 and the child, or the Windows code of the
// failed step.
std::uint32_t spawnProcess(int executable, const CVxSpawnRequest& request, CVxChildProcess& child);

// Marks every descriptor above 2 close-on-exec: close_range, or, when the
// kernel cannot (or walkOnly asks for it), each entry of /proc/self/fd.
// Async-signal-safe, for a child between fork and exec. 0 or errno.
int markDescriptorsCloseOnExec(bool walkOnly = false);

}  // namespace vxprocess
