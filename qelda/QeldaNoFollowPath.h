/*
 * Resolution of absolute paths without following a symbolic link in any
 * component. The engine runs as root over folders other users control: a link
 * anywhere in a path would let such a user point a delete, a quarantine copy or a
 * restore at a file of their choosing, so every path this library acts on is
 * resolved here, to a descriptor, and later steps work relative to that
 * descriptor.
 *
 * Errors (errno values): EINVAL for a path that is empty, relative or holds a NUL;
 * ELOOP when a component is a symbolic link; ENOTDIR when a component is not a
 * folder; otherwise what the kernel said (ENOENT, EACCES, ENAMETOOLONG, ...).
 *
 * Stateless; safe from any thread.
 */
#ifndef QELDA_NO_FOLLOW_PATH_H
#define QELDA_NO_FOLLOW_PATH_H

#include "qelda/QeldaFd.h"

#include <sys/types.h>

#include <string>

namespace qelda {

// Splits an absolute path into the folder that holds its entry and the entry's
// name. EISDIR when the path itself names a folder ("/", a trailing slash, a last
// component "." or "..").
int splitEntryPath(const std::string& path, std::string& folder, std::string& name);

// Opens the folder at `path` as O_PATH|O_DIRECTORY. Uses openat2 with
// RESOLVE_NO_SYMLINKS|RESOLVE_NO_MAGICLINKS; where the kernel lacks openat2
// (ENOSYS) it walks the path with walkFolderNoFollow. /proc/<pid>/root and the
// paths below it are a process's view of its own root (QeldaProcessHandle.h).
int openFolderNoFollow(const std::string& path, Fd& folder);
// The walk: one component at a time, each opened O_PATH|O_NOFOLLOW relative to
// the one before and checked to be a folder. Callers use openFolderNoFollow; the
// walk is public so that it is tested where openat2 exists.
int walkFolderNoFollow(const std::string& path, Fd& folder);

// Opens the folder at `path` for reading, creating it and every missing folder
// above it with `mode` first, one component at a time relative to the one before,
// following no link. EINVAL for a path with a ".." component.
int makeFolderNoFollow(const std::string& path, mode_t mode, Fd& folder);

// Opens the entry at `path` itself, whatever its type, as O_PATH|O_NOFOLLOW in
// one resolution that follows no link (openat2). A link as the last component is
// opened as the link. ENOSYS where the kernel lacks openat2, and EXDEV for a path
// below /proc/<pid>/root: callers then go through the entry's folder.
int openEntryNoFollow(const std::string& path, Fd& entry);

// Opens the folder `name` in `parent` for reading (O_RDONLY|O_DIRECTORY|O_NOFOLLOW),
// creating it with `mode` first when it does not exist. ELOOP for a link, ENOTDIR
// for anything else that is not a folder.
int openOrMakeFolderAt(int parent, const std::string& name, mode_t mode, Fd& folder);

}  // namespace qelda

#endif
