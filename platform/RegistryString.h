#pragma once
// Registry strings (REG_SZ) as this platform stores them: the text in the narrow
// encoding (UTF-8, platform/Utf8.h) followed by one NUL byte, as a Windows value
// carries its terminator. Reading drops the terminator and anything after a NUL.
//
// Stateless; safe from any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Registry.h"

namespace platform {

RegistryValue registryString(std::wstring_view text);
// The same from text already in the narrow encoding.
RegistryValue registryString(std::string_view narrowText);

// Stores `text` as the REG_SZ value `name` of `key`; 0 or the registry's code.
std::uint32_t setRegistryString(const Registry& registry, RegistryHive hive, std::string_view key,
                                std::string_view name, std::wstring_view text);

// The text of a REG_SZ value; nullopt when the value is missing, unreadable or
// of another type.
std::optional<std::wstring> readRegistryString(const Registry& registry, RegistryHive hive, std::string_view key,
                                               std::string_view name);

}  // namespace platform
