/*
 * The engine's own files in <machine>/Vexora (machine: the given folder, else
 * $VX_MACHINE_DIR, else /var/lib): owner-only, reached without following links,
 * and trusted only while nobody else could have written them.
 *
 * A file is read only when it is a regular file of the effective user that group
 * and others cannot write, in folders owned by that user or root that group and
 * others cannot write either. A file is written as a temporary file of a unique
 * name (0600) and renamed over the old one, so that readers and concurrent
 * writers, other processes included, see one whole file or the other; the last
 * writer wins. Nothing is synced: the files are caches that carry their own
 * checksum, so one cut short by a crash is rejected and rebuilt, and a sync would
 * make every scan wait for whatever else the file system has to write.
 *
 * Stateless; safe from any thread.
 */
#ifndef QELDA_PRIVATE_FILE_H
#define QELDA_PRIVATE_FILE_H

#include <cstdint>
#include <string>
#include <vector>

namespace qelda {

// "" picks $VX_MACHINE_DIR, else /var/lib.
std::string privateMachineFolder(const std::string& machine);
std::string privateFilePath(const std::string& machine, const char* name);

// The whole file. ENOENT when it (or "Vexora") is missing; ELOOP for a link;
// EPERM when it or a folder is another user's or open to writes by others;
// EBADMSG when it is not a regular file or is larger than `largest`.
int readPrivateFile(const std::string& machine, const char* name, std::uint64_t largest,
                    std::vector<std::uint8_t>& data);

// Replaces the file with `data`, creating "Vexora" and the machine folder with
// its parents (0755) when missing.
int writePrivateFile(const std::string& machine, const char* name, const std::vector<std::uint8_t>& data);

// Whether the engine could keep its files: "Vexora" opened, or made with the
// machine folder and its parents, trusted, and open to the effective user's
// writes. 0 or the errno of what failed (EPERM: another user's, or open to
// writes by others; EROFS, EACCES, ...).
int preparePrivateFolder(const std::string& machine);

// 0 also when there was nothing to remove.
int removePrivateFile(const std::string& machine, const char* name);

}  // namespace qelda

#endif
