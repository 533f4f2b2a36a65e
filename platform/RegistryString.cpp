#include "platform/RegistryString.h"

#include <algorithm>

#include "platform/Utf8.h"

namespace platform {

RegistryValue registryString(std::wstring_view text) {
  return registryString(std::string_view(encodeUtf8(text.data(), text.size())));
}

RegistryValue registryString(std::string_view narrowText) {
  RegistryValue value{kRegSz, {narrowText.begin(), narrowText.end()}};
  value.data.push_back(0);
  return value;
}

std::uint32_t setRegistryString(const Registry& registry, RegistryHive hive, std::string_view key,
                                std::string_view name, std::wstring_view text) {
  const RegistryValue value = registryString(text);
  return registry.setValue(hive, key, name, value.type, value.data);
}

std::optional<std::wstring> readRegistryString(const Registry& registry, RegistryHive hive, std::string_view key,
                                               std::string_view name) {
  RegistryValue value;
  if (registry.queryValue(hive, key, name, value) != 0 || value.type != kRegSz) return std::nullopt;
  const auto end = std::find(value.data.begin(), value.data.end(), std::uint8_t{0});
  const std::string narrow(value.data.begin(), end);
  return decodeUtf8(narrow.data(), narrow.size());
}

}  // namespace platform
