#pragma once
// The private folders that the collector runner (suspicious/SifterSessionFolder)
// makes in the temporary folder to hold its session folders: "vxsifter." followed
// by the six letters and digits that mkdtemp draws, a folder of the runner's
// user that group and others cannot enter. The runner names its folders with
// the prefix below; the tool recognises them on its walks, so that it never
// collects what a run (its own or a concurrent one) stages in its session
// folder.
//
// Only a folder that has both the name and the runner's ownership and mode is
// one: anybody may name a folder "vxsifter.abc123" in a shared folder, and such a
// folder is walked as any other, so that the name alone hides nothing from a
// collection.
//
// Constant data and a stateless test; safe from any thread.
#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace sifter {

inline constexpr std::string_view kRunnerFolderPrefix = "vxsifter.";
inline constexpr std::size_t kRunnerFolderRandomLength = 6;

// True when the entry `name`, whose (not followed) status is `status`, is a
// private folder of a collector runner of the effective user.
bool isRunnerPrivateFolder(const std::string& name, const struct stat& status);

}  // namespace sifter
