#pragma once
// Reading and writing values of private-profile (INI) files the way
// GetPrivateProfileStringW and WritePrivateProfileStringW do, which is what the
// component's settings files were written for:
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
// Writing replaces the whole file atomically: the new text goes to a fresh file in
// the same folder, which is then renamed over the old one, so a reader sees the
// old or the new file, never half of one. Every other section, key, comment and
// blank line stays as it was, and so does the encoding (UTF-8 with or without
// its mark, UTF-16LE) and the file's mode and owner. Only a regular file is
// replaced: a link, a folder or a file above the cap is refused (5, 223), and
// the folder is opened without following a link in its last component.
// Concurrent writers of one file must be serialised by the caller; the last
// rename wins.
//
// The struct form (WritePrivateProfileStruct / GetPrivateProfileStruct) stores
// bytes as upper-case hexadecimal digits followed by one checksum byte, the sum
// of the bytes modulo 256, also in hexadecimal.
//
// Stateless; safe from any thread. The file is read anew on every call.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
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

// Sets `key` of `section` to `value` ("key=value"), adding the key at the end of
// the section's lines or the section at the end of the file when missing, and
// creating the file when there is none. Without a value the key's line is
// removed; without a key the whole section is. Returns 0 or the Windows code:
// 87 for an empty section or key name or a name or value with a line break.
std::uint32_t writePrivateProfileString(const std::string& path, std::wstring_view section,
                                        std::optional<std::wstring_view> key,
                                        std::optional<std::wstring_view> value);

// Writes `bytes` in the struct form under `key`.
std::uint32_t writePrivateProfileStruct(const std::string& path, std::wstring_view section,
                                        std::wstring_view key, std::span<const std::uint8_t> bytes);

// Reads exactly bytes.size() bytes stored in the struct form. 0 on success;
// 2 when the file, section or key is missing; 24 (ERROR_BAD_LENGTH) when the
// value does not hold exactly that many bytes and the checksum; 13
// (ERROR_INVALID_DATA) when it holds a character that is no hexadecimal digit
// or the checksum does not match. `bytes` is written only on success.
std::uint32_t readPrivateProfileStruct(const std::string& path, std::wstring_view section,
                                       std::wstring_view key, std::span<std::uint8_t> bytes);

}  // namespace platform
