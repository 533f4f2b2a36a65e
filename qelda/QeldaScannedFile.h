/*
 * A file opened for scanning, held so that whatever is done to it later (hash,
 * delete, quarantine) acts on the very file that was scanned.
 *
 * openScannedFile resolves the folder of the path without following a symbolic
 * link in any component and keeps that folder open; the entry is opened O_PATH and
 * its type checked before anything opens it for reading, so a FIFO, a device or a
 * socket is never opened (no blocking open, no side effect of a device's open).
 * Only then is that same inode opened for reading. The two steps are also offered
 * apart (locateScannedFile, then openLocatedFile), so that a scan that needs
 * nothing but the entry's stamps never opens the content at all.
 *
 * A kernel handle to a mapped file (QeldaProcessHandle.h) is the exception: its
 * entry is the magic link, followed to the mapped inode, which is then checked
 * and opened the same way. Such a file has no name on disk that could be removed
 * (EPERM from the cleaner); it can still be copied into the quarantine.
 *
 * Errors of openScannedFile (errno values):
 *   EINVAL        the path is empty, relative or holds a NUL
 *   ELOOP         a component, the last one included, is a symbolic link
 *   EISDIR        the path names a folder
 *   EPERM         a kernel handle, without the privilege to open it
 *   ENXIO         the entry is neither a regular file nor a folder (FIFO,
 *                 character or block device, socket)
 *   ENOENT, ENOTDIR, EACCES, ...   as the kernel reports them
 *
 * A ScannedFile is a value owned by one thread at a time; the functions are
 * otherwise stateless and safe from any thread.
 */
#ifndef QELDA_SCANNED_FILE_H
#define QELDA_SCANNED_FILE_H

#include "qelda/QeldaFd.h"

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace qelda {

// A regular file opened for scanning, reached without following a symbolic link in
// any path component, with the folder that holds its entry kept open.
struct ScannedFile {
  std::string path;        // as requested (absolute)
  Fd parent;               // the folder holding the entry (O_PATH|O_DIRECTORY)
  std::string name;        // the entry's name in parent
  Fd entry;                // O_PATH descriptor of the entry, type checked
  struct stat located {};  // fstat of entry: a regular file
  Fd file;                 // O_RDONLY descriptor of the regular file
  struct stat opened {};   // fstat of file right after opening
  bool kernelHandle = false;  // name is a magic link of /proc to the mapped inode
};

// 0 or an errno value (see above).
int openScannedFile(const std::string& path, ScannedFile& out);

// The first step of openScannedFile: the folder, the entry and its type check.
// Fills path, parent, name, entry, located and kernelHandle; nothing is opened
// for reading. 0 or an errno value (see above).
int locateScannedFile(const std::string& path, ScannedFile& out);

// The second step: opens for reading the inode out.entry refers to and fills file
// and opened. 0, ESTALE when the name now leads elsewhere, or the open's errno.
int openLocatedFile(ScannedFile& out);

// Same size, mtime and ctime (nanoseconds) through the descriptor, and the entry in
// parent still names the same device and inode (fstatat, AT_SYMLINK_NOFOLLOW).
bool unchangedSinceOpen(const ScannedFile& file);

// Whether the file may still be acted on by its path: unchangedSinceOpen, and the
// path's folder, resolved again without following links, is still the held
// folder (same device and inode). 0, or ESTALE when anything differs or the folder
// no longer resolves.
int checkStillInPlace(const ScannedFile& file);

// Asked between chunks of a long read or copy; false stops it (ECANCELED).
using KeepGoing = std::function<bool()>;

// SHA-256 of exactly opened.st_size bytes read through file.file (holes found with
// SEEK_DATA/SEEK_HOLE are not read but hashed as zeros), then requires
// unchangedSinceOpen. 0, ESTALE when the file changed or came out short,
// ECANCELED, or the read's errno.
int digestScannedFile(const ScannedFile& file, const KeepGoing& keepGoing, std::array<std::uint8_t, 32>& sha256);

}  // namespace qelda

#endif
