#pragma once
// The folder for temporary files: $TMPDIR when it names an absolute path, else
// /tmp, always ending in "/" so that a name can be appended directly (as the
// Windows temporary path ends in its separator).
//
// Stateless; safe from any thread (reads the environment only).
#include <string>

namespace platform {

std::string temporaryFolder();

}  // namespace platform
