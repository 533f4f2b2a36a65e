/*
 * Opening a file of the engine's data set (the rules, the tables, the settings)
 * only when no other user could have written it: the engine runs as root, and
 * whoever can change the rules can blind every scan, or hand libyara's loader
 * of compiled rules crafted input.
 *
 * The file and every folder above it must belong to root or the effective user
 * and be writable by neither group nor others; a sticky folder writable by others
 * (such as /tmp) is allowed above an entry of root or the effective user, whom
 * the sticky bit protects from renames and removals. The path is walked folder
 * by folder through descriptors without following a symbolic link, the file's
 * type is checked before it is opened for reading (no FIFO or device is ever
 * opened), and the open must reach the inode that was checked.
 *
 * Stateless; safe from any thread.
 */
#ifndef QELDA_TRUSTED_DATA_FILE_H
#define QELDA_TRUSTED_DATA_FILE_H

#include "qelda/QeldaFd.h"

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace qelda {

// Opens the file at the absolute `path` for reading: 0 and the descriptor with
// its status, or the AV_DATA_FILE_* reason that refuses it (missing, unreadable,
// not a regular file or reached through a link, writable by others, owned by
// another user).
std::uint16_t openTrustedDataFile(const std::string& path, Fd& file, struct stat& opened);

}  // namespace qelda

#endif
