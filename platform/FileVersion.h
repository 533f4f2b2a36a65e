#pragma once
// The file version of an executable on disk, read from its version note
// (platform/FileVersionNote.h) without running or loading it: the ELF header,
// then the PT_NOTE segments, looking for owner "Vexora" and type
// kFileVersionNoteType. Every read is bounded by the file's size and by fixed
// limits, since the file may be anybody's.
//
// The path is opened without following a symbolic link in its last component
// and must name a regular file. Results (Windows error codes):
//   0     version filled in
//   2     no such file (3 when its folder is missing), 5 access denied
//   1813  (ERROR_RESOURCE_TYPE_NOT_FOUND) not an ELF file, or it has no version note
//   1627  a version note whose descriptor is not a valid record
//   87    empty path
//
// Stateless; safe from any thread.
#include <cstdint>
#include <string>

#include "platform/ModuleVersion.h"

namespace platform {

std::uint32_t fileVersion(const std::string& path, ModuleVersionRecord& version);

}  // namespace platform
