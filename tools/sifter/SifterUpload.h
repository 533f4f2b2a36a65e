#pragma once
// Sending an archive (--upload=ZIP): one HTTPS POST of the archive's bytes with
// Content-Type application/zip to the submission address. The server's
// certificate and host name are always verified, against the CA file of the
// settings or else the system's trusted CAs; only https is spoken and redirects
// are not followed, so the bytes go to the configured server or nowhere.
//
// Thread-safety: one upload per process at a time (libcurl is set up here).
#include <string>

#include "tools/sifter/SifterExitCode.h"
#include "tools/sifter/SifterSettings.h"

namespace sifter {

ExitCode runUpload(const std::string& archivePath, const UploadSettings& settings);

}  // namespace sifter
