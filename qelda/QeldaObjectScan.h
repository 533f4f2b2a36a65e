/*
 * Scans one object for AVScanObject and reports it through the caller's callback.
 *
 * Message sequence for a file: 1061 (item type), 1041 (name), then on trouble
 * opening it 1044 + 1064 + 1049; else 1042 (size), 1031 (1: no content scan,
 * 1064 + 1049 follow), 1036, 1033 before every block of at most 8 MiB read (1:
 * stop), 1056 before reporting (1: stop), one 1045 per matching rule, then for a
 * cleanable detection 1032 (1: declined) and 1047 or 1046, a 1046 with 12 when
 * no cleaning is possible, 1180 when asked, 1064 and 1049. A stopped object ends
 * with 1064 (not scanned) and 1049.
 *
 * Each call runs on its own stack with its own libyara scanner; any number of
 * calls may run at once on one Engine.
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
