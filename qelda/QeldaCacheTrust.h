/*
 * Whether the verdict cache may answer for, and remember, one opened file, and
 * what makes its key and the cache file's identity exact.
 *
 * The cache keys a verdict on the file's device, inode, size, mtime and ctime. A
 * local user can change a file's content while all of these stay as they were:
 *
 *   - by writing through a shared writable mapping whose page is already dirty
 *     (the kernel stamps a mapped write when the page first becomes dirty, not
 *     on every store);
 *   - on a file system whose stamps come from outside the kernel (FUSE, NFS,
 *     CIFS, ...), which reports whatever stamps its server likes;
 *   - by mounting another file system later at the same device number;
 *   - by writing to a loop or nbd image they own, underneath the file system.
 *
 * checkCacheTrust therefore lets the cache serve only files on local file systems
 * whose stamps the kernel keeps itself, not on an image device, that nobody holds
 * open for writing (a read lease is granted only then), and gives the unique id
 * of the mount the file was opened through, which the key must carry: a mount
 * made later, even of the same device number, gets another id.
 *
 * An engine or libyara upgrade must never reuse old verdicts, nor may a cache
 * outlive the boot it was made in: cacheRuntimeIdentity is what a stored cache
 * must match to be used by this process.
 *
 * Nothing here throws; every failing system call gives a non-Trusted answer.
 * Safe from any thread (a ScannedFile itself is used by one thread at a time).
 */
#ifndef QELDA_CACHE_TRUST_H
#define QELDA_CACHE_TRUST_H

#include "qelda/QeldaScannedFile.h"

#include <array>
#include <cstdint>
#include <optional>

namespace qelda {

// Why the cache may not answer for, nor remember, a file; Trusted when it may.
enum class CacheTrust {
  Trusted,
  KernelHandle,  // read through /proc/PID/map_files (memfd, deleted or replaced module): ScannedFile::kernelHandle
  FileSystem,    // not on a local file system whose stamps the kernel itself keeps (FUSE, NFS, CIFS, overlay,
                 // unknown...), or its file system could not be asked
  ImageDevice,   // on a loop or nbd block device: its image can be written underneath the file system
  Writer,        // some process holds it open for writing or has it mapped shared and writable (read lease refused)
  Unchecked,     // the writer check could not be made (no privilege for a lease, leases disabled, ...)
  NoMountId,     // the kernel gives no unique mount id for it
};

struct CacheTrustCheck {
  CacheTrust trust = CacheTrust::Unchecked;
  std::uint64_t mountId = 0;  // statx STATX_MNT_ID_UNIQUE of the opened file when trust == Trusted
};

// `file.file` is the file opened O_RDONLY (QeldaScannedFile.h). The checks run
// cheapest first and the first that fails gives the answer: kernelHandle, the
// file system type (fstatfs), the device's major number (file.opened), the
// unique mount id (statx), and last a read lease, taken and dropped at once.
//
// The lease is set on file.file's own open file description (so nothing else of
// the caller's is affected), and that description is left with F_SETSIG set to
// SIGURG: a writer opening the file while the lease is held makes the kernel
// signal this process, and SIGURG, unlike the default SIGIO, does not end it. A
// host that handles SIGURG itself sees such a signal now and then. A writer that
// opens the file in that moment waits until the lease is dropped; one that opens
// it O_NONBLOCK gets EWOULDBLOCK instead.
CacheTrustCheck checkCacheTrust(const ScannedFile& file);

// Short English text for a CacheTrust, e.g. "held open for writing" (for logs).
const char* describe(CacheTrust trust);

// What a stored cache must match to be used in this process: SHA-256 over the boot
// id (/proc/sys/kernel/random/boot_id), the GNU build-id of the engine library
// (the object holding checkCacheTrust) and of the libyara actually loaded (the
// object holding yr_initialize), each found in the loaded object's PT_NOTE
// segments. An object without a build-id counts with the SHA-256 of its file
// instead, the file the kernel shows mapped, opened without following links and
// required to be that very inode. Computed once per process; nullopt when any
// part cannot be had (the caller then runs without a cache and says why).
std::optional<std::array<std::uint8_t, 32>> cacheRuntimeIdentity();

// Whether this kernel reports unique mount ids (statx STATX_MNT_ID_UNIQUE, Linux
// 6.8+) for `folderFd`, any descriptor on the file system in question.
bool kernelTellsMountsApart(int folderFd);

}  // namespace qelda

#endif
