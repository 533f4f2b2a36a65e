#pragma once
// Reading values from private-profile (INI) files the way GetPrivateProfileStringW
// does, which is what the component's settings files were written for:
//
//   [section]
//   key = value
//
// Section and key names compare without regard to the case of ASCII letters;
// blanks around names and values are dropped, and a value enclosed in a matching
// pair of ' or " loses them. Lines starting with ';' are comments. When a key
// occurs more than once in sections of that name, its first line in the file wins.
// A missing file, section or key gives the default (without trailing blanks).
//
// Files are UTF-8 (a leading byte-order mark is skipped; bytes that are not UTF-8
// come through as U+DC80..U+DCFF, as the component's string conversions do). A file
// that starts with the UTF-16LE byte-order mark is read as UTF-16LE.
//
// Only a regular file is read, and only one reached without a symbolic link in
// its last component; it is opened without waiting (a pipe never blocks the
// reader) and read only up to kPrivateProfileMaximumSize bytes. A link, a
// folder, a device, a pipe or a file larger than that counts as missing: every
// key gives its default. Settings files are a few hundred bytes; the cap keeps
// a file that somebody else controls from costing more than that bound.
//
// Stateless; safe from any thread. The file is read anew on every call.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// The largest settings file that is read: 1 MiB.
inline constexpr std::size_t kPrivateProfileMaximumSize = std::size_t{1} << 20;

// Copies at most bufferSize - 1 characters of the value (or of the default) into
// value and returns how many it copied; a longer value is cut, so a return of
// bufferSize - 1 may mean the value did not fit. bufferSize 0 copies nothing.
std::uint32_t readPrivateProfileString(const std::string& path, std::wstring_view section,
                                       std::wstring_view key, std::wstring_view defaultValue,
                                       std::uint32_t bufferSize, std::wstring& value);

}  // namespace platform
