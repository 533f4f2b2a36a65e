#pragma once
// Case folding of file paths for comparisons and storage. Windows file systems
// ignore case, so there paths are folded to upper case; Linux file systems are
// case-sensitive, so here the fold is the identity: folding would make distinct
// files compare equal and hand the engine names that do not exist.
#include <string>

namespace platform {

inline std::wstring foldPathCase(std::wstring path) { return path; }

}  // namespace platform
