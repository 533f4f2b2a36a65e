#pragma once
// Packs a collection into a zip archive with libzip: the report itself first,
// as "Files.xml", so that an archive always describes its own content (and is
// never empty), then each archived file's staged copy under its entry name, with
// the original's modification time. The archive is built beside its target and
// renamed into place when complete, so a reader never sees half an archive.
//
// Stateless; safe from any thread.
#include <string>
#include <vector>

#include "tools/sifter/Collection.h"

namespace sifter {

// folderFd: the output folder, stagingFd: the staging folder inside it.
// "" on success, else what failed.
std::string writeArchive(int folderFd, const std::string& name, int stagingFd, const std::string& report,
                         const std::vector<CollectedFile>& files);

}  // namespace sifter
