#pragma once
// Where the running code lives: the folder of the loaded module (shared library or
// executable) that contains a given address, and the folder of the process's
// executable. A folder is the module's path cut at its last "/", without the
// separator; paths are narrow byte strings, as the file system keeps them.
//
// Stateless; safe from any thread.
#include <cstdint>
#include <string>

namespace platform {

// Full path of the process's executable (/proc/self/exe). Returns 0 or the
// Windows code of the system error.
std::uint32_t hostExecutablePath(std::string& path);
// The environment variable that names the host folder for a host that does not
// live in the product folder (a script interpreter): an absolute path.
inline constexpr char kHostFolderVariable[] = "VX_HOST_DIR";

// Folder of the process's executable, or the folder VX_HOST_DIR names.
std::uint32_t hostExecutableFolder(std::string& folder);

// Full path of the module whose code or data contains address. Returns 0, or 126
// (module not found) when no loaded module contains it.
std::uint32_t modulePathOf(const void* address, std::string& path);
// Folder of that module.
std::uint32_t moduleFolderOf(const void* address, std::string& folder);

// The handle of the module whose code or data contains address: the address it
// is loaded at, as a Windows module handle is. Null when no loaded module holds it.
const void* moduleHandleOf(const void* address);

// The part of path before its last "/" ("" when there is none).
std::string folderOfPath(const std::string& path);

}  // namespace platform
