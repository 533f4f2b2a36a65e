#pragma once
// The normal form of an absolute path, worked out on the text alone: repeated
// separators collapse, "." components go, each ".." takes away the component
// before it (at the root it stays at the root), and no trailing "/" is left
// except on "/" itself. Links are never consulted: this is the path Windows'
// GetFullPathName would make, and the one the caller's text names whatever the
// file system holds, so a check made on it and an action taken on it agree.
//
// Stateless; safe from any thread.
#include <string>

namespace platform {

// `absolute` starts with "/"; anything else is returned unchanged.
std::string lexicallyNormalPath(const std::string& absolute);

}  // namespace platform
