#pragma once
// The test a class object applies to the process that asks it for an object.
// The component runs inside its caller, so "the caller" is this process and the
// question is whether its executable is one the machine's administrator put
// there. The executable passes when
// - only root or the user the process runs as can change it: it is a regular
//   file owned by one of them and writable by neither its group nor others, and
//   so is every folder above it, except that a folder with the sticky bit (such
//   as /tmp) may be writable by all, since nobody else can replace an entry in
//   it; and the file at that path is the very file the process runs; or
// - it carries the product's code signature (process/CodeSignature.h).
// A system interpreter such as /usr/bin/python3 passes by the first rule, the
// product's own signed host anywhere. An executable that another user could
// have replaced, in a world-writable folder or in another user's home, fails
// unless signed.
//
// Safe from any thread.
#include <sys/types.h>

#include <string>

namespace vxprocess {

// The test for the executable open at `descriptor`, found at `path`, for a
// process running as `user`.
bool executablePassesCallerValidation(int descriptor, const std::string& path, uid_t user);

// The test for this process, made once and remembered: the executable of a
// running process does not change.
bool callingProcessPassesValidation();

}  // namespace vxprocess
