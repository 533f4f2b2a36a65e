/*
 * The kernel's handles to what a running process maps, the one narrow exception
 * to resolving paths without links.
 *
 * A process keeps executing a file that was deleted, created by memfd_create, or
 * replaced on disk; and a process in another mount namespace sees other files at
 * the same paths. None of these is reachable by the path its map shows. The
 * kernel offers two ways in, both under /proc, a file system that no user
 * controls:
 *
 *   /proc/<pid>/map_files/<start>-<end>   the inode mapped at that range
 *   /proc/<pid>/exe                        the process's program
 *
 * are magic links to the mapped inode itself; opening one needs CAP_SYS_ADMIN (or
 * CAP_CHECKPOINT_RESTORE) and otherwise fails with EPERM. And
 *
 *   /proc/<pid>/root/<path>
 *
 * is <path> as that process sees it: its root is opened through the magic link,
 * and <path> is resolved below it with RESOLVE_IN_ROOT | RESOLVE_NO_SYMLINKS, so
 * neither ".." nor a link inside the container leads out of it or anywhere else.
 *
 * Only these exact shapes (pid: decimal digits, range: hex digits) are handles;
 * every other path, including other /proc paths, gets the no-link resolution.
 *
 * Stateless; safe from any thread.
 */
#ifndef QELDA_PROCESS_HANDLE_H
#define QELDA_PROCESS_HANDLE_H

#include <string>

namespace qelda {

// /proc/<pid>/map_files/<hex>-<hex> or /proc/<pid>/exe.
bool isMappedFileHandle(const std::string& path);

// For /proc/<pid>/root and anything below it: `process` is "/proc/<pid>" and
// `inside` the rest, "/" for the root itself.
bool splitProcessRootPath(const std::string& path, std::string& process, std::string& inside);

}  // namespace qelda

#endif
