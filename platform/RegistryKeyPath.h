#pragma once
// RegistryKeyPath: a registry key path below its hive, split into its "\"
// separated components, with the case-folded form that the registry store
// compares and indexes. Names compare as Windows compares them: each character
// upper-cased by the simple Unicode mapping (bytes that are not UTF-8 compare
// exactly).
//
// Stateless; safe from any thread.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct RegistryKeyPath {
  std::vector<std::string> components;  // as spelled by the caller
  std::vector<std::string> folded;      // each component folded

  // The folded path of the first `count` components joined with "\".
  std::string foldedPrefix(std::size_t count) const;
  std::string foldedPath() const { return foldedPrefix(folded.size()); }
  bool isHive() const { return components.empty(); }
};

// 0, or 87 for an empty component; a trailing "\" is dropped.
std::uint32_t parseRegistryKeyPath(std::string_view key, RegistryKeyPath& path);

// The form of a key or value name that compares equal for names that differ only in case.
std::string foldRegistryName(std::string_view name);

}  // namespace platform
