#include "platform/PrivateProfile.h"

#include <optional>

#include "platform/PrivateProfileText.h"

namespace platform {

namespace {

std::wstring_view unquote(std::wstring_view value) {
  if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') &&
      value.back() == value.front()) {
    value.remove_prefix(1);
    value.remove_suffix(1);
  }
  return value;
}

std::optional<std::wstring> findValue(const std::wstring& text, std::wstring_view section,
                                      std::wstring_view key) {
  bool inSection = false;
  std::size_t position = 0;
  while (position <= text.size()) {
    std::size_t end = text.find(L'\n', position);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring_view line = trimProfileBlanks(std::wstring_view(text).substr(position, end - position));
    position = end + 1;
    if (const auto name = profileSectionName(line)) {
      inSection = profileNamesEqual(*name, section);
      continue;
    }
    if (!inSection) continue;
    if (const auto name = profileKeyName(line); name && profileNamesEqual(*name, key)) {
      return std::wstring(unquote(trimProfileBlanks(line.substr(line.find(L'=') + 1))));
    }
  }
  return std::nullopt;
}

}  // namespace

std::uint32_t readPrivateProfileString(const std::string& path, std::wstring_view section,
                                       std::wstring_view key, std::wstring_view defaultValue,
                                       std::uint32_t bufferSize, std::wstring& value) {
  std::optional<std::wstring> found;
  // Whatever keeps a file from being read as settings leaves every key at its default.
  if (const ProfileLoad load = loadProfileText(path); load.error == 0) {
    found = findValue(load.content.text, section, key);
  }
  if (found) {
    value = std::move(*found);
  } else {
    std::wstring_view fallback = defaultValue;
    while (!fallback.empty() && fallback.back() == L' ') fallback.remove_suffix(1);
    value.assign(fallback);
  }
  if (bufferSize == 0) {
    value.clear();
    return 0;
  }
  if (value.size() > bufferSize - 1) value.resize(bufferSize - 1);
  return static_cast<std::uint32_t>(value.size());
}

}  // namespace platform
