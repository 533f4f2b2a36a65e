/*
 * Scans one object for AVScanObject and reports it through the caller's callback.
 *
 * Message sequence for a file: 1061 (item type), 1041 (name), then on trouble
 * opening it 1044 + 1064 + 1049; when the host named the file the object must be
 * (AV_PARAM_OBJECT_IDENTITY, QeldaObjectIdentity.h) and the path now names
 * another, either 1070 (replaced) followed by the rest of the sequence for the
 * mapped file read through the kernel's handle, or 1044 (13, changed) + 1064 +
 * 1049 when nothing reaches it; else 1042 (size, all 64 bits), 1031 (1: no
 * content scan, 1064 + 1049 follow), 1036, 1033 before every block of at most
 * 8 MiB read and now and then while conditions read the file (1: stop), 1056
 * before reporting (1: stop), then for each matching rule a 1045 followed, when
 * its virus type can be cleaned, by a 1032 (1: declined); then 1047 for the
 * strongest action agreed to, or 1046 with the reason it failed, or 1046 with 12
 * when no detection can be cleaned; 1180 when asked; 1064 and 1049. A stopped
 * object ends with 1064 (not scanned) and 1049. A detection in a file read
 * through a kernel handle is never repairable (nothing can be removed), though
 * its quarantine copy is still offered with 1032.
 *
 * A scan that fails inside libyara's callbacks (out of memory recording a match,
 * anything the host's callback threw) ends the object with 1044 (8 for memory)
 * + 1064 + 1049 and never with a verdict; its scanner is destroyed, not reused.
 * Files of any size are read block by block.
 *
 * A file whose stamps moved between the look at its entry and the end of its
 * read ends with 1044 (13, changed) unless the read found a match: a detection
 * stands, a clean verdict needs a file that held still.
 *
 * A file the engine's verdict cache knows clean (same device, inode, size, mtime
 * and ctime through the opened descriptor) is not read: after 1036 it gets one
 * 1033 per block it would have read, 1056, 1180 when asked (from the cache; an
 * entry without a hash is read instead), 1064 clean and 1049. A file read and
 * found clean is remembered unless its ctime is too recent (QeldaCacheSettings.h).
 *
 * Any number of calls may run at once on one Engine; each borrows a scanner and
 * a block buffer of the data set for its duration.
 */
#ifndef QELDA_OBJECT_SCAN_H
#define QELDA_OBJECT_SCAN_H

#include "engine/VxAVEngineABI.h"
#include "qelda/QeldaEngine.h"

namespace qelda {

// The status of AVScanObject for this engine and parameter block.
std::uint16_t scanObject(const Engine& engine, const AV_PARAMETERS& parameters);

}  // namespace qelda

#endif
