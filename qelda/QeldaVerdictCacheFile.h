/*
 * The clean verdicts kept between processes: one file, <machine>/Vexora/
 * "verdicts.cache" (machine: the given folder, else $VX_MACHINE_DIR, else
 * /var/lib), owned by the user who scans and readable by nobody else (0600).
 *
 * The file names the data set (its SHA-256), the engine version and the runtime
 * it holds verdicts for (the boot, and the builds of the engine and of the
 * libyara that matched: QeldaCacheTrust.h); a file for anything else loads
 * nothing. A file that
 * is not a regular file, is reached through a link, belongs to another user, is
 * writable by group or others, has a bad length or a bad checksum is ignored: it
 * is never trusted, and the next save replaces it.
 *
 * Saving writes a temporary file of a unique name, syncs it and renames it over
 * the old one, so that readers and concurrent writers (other processes included)
 * see one whole file or the other; the last writer wins.
 *
 * Stateless; safe from any thread.
 */
#ifndef QELDA_VERDICT_CACHE_FILE_H
#define QELDA_VERDICT_CACHE_FILE_H

#include "qelda/QeldaVerdictCache.h"

#include <array>
#include <cstdint>
#include <string>

namespace qelda {

inline constexpr char kVerdictCacheFileName[] = "verdicts.cache";

struct VerdictCacheIdentity {
  std::array<std::uint8_t, 32> dataSetSha256{};
  std::array<std::uint32_t, 3> engineVersion{};
  std::array<std::uint8_t, 32> runtime{};
  bool operator==(const VerdictCacheIdentity&) const = default;
};

// "" picks $VX_MACHINE_DIR, else /var/lib.
std::string verdictMachineFolder(const std::string& machine = {});
std::string verdictCacheFilePath(const std::string& machine = {});

// Adds the file's entries to `cache` when the file is sound and is for
// `identity`. 0 when it loaded or there was nothing to load (no file, another
// identity); EBADMSG for a damaged file, EPERM for a foreign or open one, ELOOP
// for a link; otherwise the errno of the failed step. Whatever it returns, the
// cache holds only entries of a sound file.
int loadVerdicts(const std::string& machine, const VerdictCacheIdentity& identity, VerdictCache& cache);

// Writes the entries of `cache` for `identity`, creating "Vexora" and the machine
// folder with its parents when missing. Entries past what a load accepts (a
// file of at most the cache's capacity in entries, with one detection each on
// average) are left out, oldest first.
int saveVerdicts(const std::string& machine, const VerdictCacheIdentity& identity, const VerdictCache& cache);

// Removes the file; 0 when there was none.
int clearVerdicts(const std::string& machine);

}  // namespace qelda

#endif
