#pragma once
// Writes a file of the tool's output so that a reader sees the old file or the
// complete new one, never a part: the bytes go to a fresh file in the same folder
// (opened by descriptor, created exclusively, links refused), are flushed, and the
// file is then renamed over the target.
//
// Stateless; safe from any thread for distinct names.
#include <string>

namespace sifter {

// "" on success, else what failed.
std::string writeFileAtomically(int folderFd, const std::string& name, const std::string& bytes);

}  // namespace sifter
