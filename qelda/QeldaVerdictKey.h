/*
 * The verdict cache's view of a scanned file: its key, taken from the fstat of the
 * descriptor that was read (never from a second lookup of the path, which could
 * name another file by then), and whether its stamps are old enough to be trusted.
 *
 * Stateless; safe from any thread.
 */
#ifndef QELDA_VERDICT_KEY_H
#define QELDA_VERDICT_KEY_H

#include "qelda/QeldaVerdictCache.h"

#include <sys/stat.h>

#include <cstdint>

namespace qelda {

VerdictKey verdictKeyOf(const struct stat& opened);

// The time the file system stamps a change with now, in nanoseconds since the
// epoch: the kernel's coarse real-time clock, the one it reads for ctime.
std::int64_t changeClockNow();

// Whether a later change of the file is bound to move its ctime: the ctime lies at
// least settleNs before scanStart (a changeClockNow taken before the file was
// opened). A change within the clock's grain of the read would otherwise leave
// the stamps unchanged.
bool settledBefore(const struct stat& opened, std::int64_t scanStart, std::int64_t settleNs);

}  // namespace qelda

#endif
