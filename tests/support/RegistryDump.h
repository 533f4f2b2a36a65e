#pragma once
// The content of a registry hive as text, so that a test can compare what a
// registration wrote with what it expects in one assertion: key path (as first
// spelled) -> value name -> value ("" is the default value). REG_SZ values
// show their text, REG_DWORD values "dword:<n>", any other type "type<t>:<hex>".
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace vxtest {

using RegistryValues = std::map<std::string, std::string>;
using RegistryContent = std::map<std::string, RegistryValues>;

inline std::string registryValueText(const platform::RegistryValue& value) {
  if (value.type == platform::kRegSz) {
    std::string text(value.data.begin(), value.data.end());
    if (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
  }
  if (value.type == platform::kRegDword && value.data.size() == 4) {
    const std::uint32_t number = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                                 static_cast<std::uint32_t>(value.data[3]) << 24;
    return "dword:" + std::to_string(number);
  }
  std::string text = "type" + std::to_string(value.type) + ":";
  for (const std::uint8_t byte : value.data) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", byte);
    text += hex;
  }
  return text;
}

inline void dumpRegistryKey(const platform::Registry& registry, platform::RegistryHive hive, const std::string& key,
                            RegistryContent& content) {
  if (!key.empty()) {
    RegistryValues& values = content[key];
    std::vector<std::pair<std::string, platform::RegistryValue>> read;
    registry.enumerateValues(hive, key, read);
    for (const auto& [name, value] : read) values[name] = registryValueText(value);
  }
  std::vector<std::string> subkeys;
  registry.enumerateSubkeys(hive, key, subkeys);
  for (const std::string& subkey : subkeys) {
    dumpRegistryKey(registry, hive, key.empty() ? subkey : key + "\\" + subkey, content);
  }
}

// Every key of the hive with its values.
inline RegistryContent dumpRegistry(const platform::Registry& registry, platform::RegistryHive hive) {
  RegistryContent content;
  dumpRegistryKey(registry, hive, "", content);
  return content;
}

}  // namespace vxtest
