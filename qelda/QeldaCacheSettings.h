/*
 * Whether an engine remembers clean verdicts, as section "cache" of the settings
 * file "AVScanner.ini" in the engine folder says:
 *
 *   [cache]
 *   enabled=0        ; 0, no, off or false: every object is read and matched
 *   settle_ms=2000   ; a file whose ctime is less than this before the scan
 *                    ; started is not remembered
 *
 * The environment variable VX_SCAN_CACHE=off turns the cache off for one process
 * whatever the file says (ovrascan scan --no-cache sets it).
 *
 * The settle time exists because a file system stamps changes at a coarse grain
 * (a clock tick, on some file systems a second or two): a write that lands within
 * the grain of the scan's read leaves the stamps as they were, so such a fresh
 * file is scanned again next time instead of being trusted.
 *
 * Stateless; safe from any thread. The file is read anew on every call, without
 * following links, at most 64 KiB of it, and only when no other user could have
 * written it.
 */
#ifndef QELDA_CACHE_SETTINGS_H
#define QELDA_CACHE_SETTINGS_H

#include <cstdint>
#include <string>

namespace qelda {

struct CacheSettings {
  bool enabled = true;
  std::int64_t settleNs = 2'000'000'000;
};

// `refused` is the AV_DATA_FILE_* reason when AVScanner.ini exists but another
// user could have written it (QeldaTrustedDataFile.h); 0 otherwise.
CacheSettings readCacheSettings(const std::string& engineFolder, std::uint16_t& refused);

// The value of `key` in `section` of INI text (names compared without case), or
// `fallback` when absent.
std::string iniValue(const std::string& text, const std::string& section, const std::string& key,
                     const std::string& fallback);

}  // namespace qelda

#endif
