#pragma once
// RegistryScript: a registry script of the COM registrar's format read into a
// tree of keys (platform/automation/Registrar.h describes the format and what
// registering it does).
//
// Values and pure functions; safe from any thread.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Registry.h"

namespace platform::automation {

struct RegistryScriptKey {
  enum class Removal { Plain, NoRemove, ForceRemove, Delete };

  Removal removal = Removal::Plain;
  std::string name;
  std::optional<RegistryValue> defaultValue;
  std::vector<std::pair<std::string, RegistryValue>> values;  // `val` entries, in order
  std::vector<RegistryScriptKey> subkeys;
};

struct RegistryScriptRoot {
  RegistryHive hive = RegistryHive::ClassesRoot;
  std::vector<RegistryScriptKey> keys;
};

using RegistryScript = std::vector<RegistryScriptRoot>;

// Reads `text`, replacing %NAME% by replacements[upper-cased NAME]. nullopt for
// a syntax error, an unknown root or value type, or an unknown replacement.
std::optional<RegistryScript> readRegistryScript(std::string_view text,
                                                 const std::map<std::string, std::string>& replacements);

}  // namespace platform::automation
