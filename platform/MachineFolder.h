#pragma once
// The machine folder (the common application-data folder of Windows): /var/lib,
// or the folder named by the environment variable VX_MACHINE_DIR, which tests and
// packagers use to move it. That variable is the one the product reads. The
// result has no trailing "/".
//
// Stateless; safe from any thread (reads the environment only).
#include <string>

namespace platform {

std::string machineFolder();

}  // namespace platform
