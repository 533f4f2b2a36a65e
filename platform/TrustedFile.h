#pragma once
// TrustedFile: opening a file that the component acts on as root (a lock file,
// the registry database, a settings file, a module to load, a tool to start, a
// certificate file) only when no other user could have put it there or changed
// it. The rule is sshd's StrictModes:
//
//   - the file and every folder above it belong to root or the effective user;
//   - none of them is writable by group or others, except a sticky folder (such
//     as /tmp) whose entry below belongs to root or the effective user: the
//     sticky bit stops others from renaming or deleting that entry;
//   - no component is a symbolic link; the walk goes folder by folder through
//     descriptors (O_PATH|O_NOFOLLOW), so a folder swapped for a link during the
//     walk is never followed;
//   - the file is a regular file (a folder for openTrustedFolder).
//
// The checks are made on the descriptors that the caller then uses, never on a
// second lookup of the path. A refusal names the path it is about and why.
//
// Thread-safety: the functions are stateless and safe from any thread.
#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/UniqueFileDescriptor.h"

namespace platform {

enum class TrustFault {
  None,
  Link,              // a component is a symbolic link
  OwnedByAnother,    // the file or a folder above it belongs to another user
  WritableByOthers,  // the file or a folder above it is writable by group or others
  WrongType,         // the file is not a regular file (or the folder not a folder)
  Missing,           // the file or a folder above it does not exist
  Failed,            // the system refused a step (error says which)
};

struct TrustCheck {
  TrustFault fault = TrustFault::None;
  std::string offender;  // the path the fault is about: the file or a folder above it
  int error = 0;         // errno of the step that failed (Missing, Failed)

  bool ok() const { return fault == TrustFault::None; }
  // "<offender>: writable by others", "<offender>: owned by another user", ...
  std::string describe() const;
  // The Windows error code for callers that report one: 0, 2 (missing), 5 for a
  // refusal, or the code of the failure.
  std::uint32_t windowsError() const;
};

// Opens the file at the absolute `path` with `flags` (O_RDONLY, O_RDWR, O_WRONLY,
// with O_CREAT and `mode` when it may be made; O_NOFOLLOW, O_CLOEXEC and, for the
// open itself, O_NONBLOCK are added), checks it and every folder above it, and on
// success hands over the descriptor (blocking again) in `file`.
TrustCheck openTrustedFile(const std::string& path, int flags, mode_t mode, UniqueFileDescriptor& file);

// Opens the folder at the absolute `path` (O_RDONLY|O_DIRECTORY) under the same
// rule, for callers that then work relative to it.
TrustCheck openTrustedFolder(const std::string& path, UniqueFileDescriptor& folder);

}  // namespace platform
