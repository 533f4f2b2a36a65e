#pragma once
// A whole collection (--zippath=DIR): processes, world-writable folders and
// program folders, in that order (files running as a process come first, so they
// are the last to be left out of the archive when its size limit is reached);
// then Logs/Files.xml, the archive Sifter.zip and, once the archive is in place,
// Sifter.xml naming it.
//
// Thread-safety: one collection per process at a time.
#include <string>

#include "tools/sifter/SifterExitCode.h"
#include "tools/sifter/SifterSettings.h"

namespace sifter {

ExitCode runScan(const std::string& folder, const ScanSettings& settings);

}  // namespace sifter
