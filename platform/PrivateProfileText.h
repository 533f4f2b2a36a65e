#pragma once
// The text of a private-profile (INI) file as the reader and the writer both see
// it: the file's bytes decoded by its encoding, and the line-level rules (blanks,
// case, comments, sections) that decide which line holds which key. The writer
// edits the decoded text and encodes it back the same way, so a file keeps its
// encoding and every line it did not touch stays byte for byte.
//
// Stateless; safe from any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

enum class ProfileEncoding { Utf8, Utf8WithMark, Utf16Le };

struct ProfileText {
  ProfileEncoding encoding = ProfileEncoding::Utf8;
  std::wstring text;
};

// Loads a settings file under the reader's rules (regular file, no link in the
// last component, at most the size cap). error is 0 with the text, 2 when there
// is no such file, or the reason the file cannot be used as a settings file.
struct ProfileLoad {
  std::uint32_t error = 0;
  ProfileText content;
};
// A settings file's path made absolute against the current folder, as the
// trusted opening needs it.
std::string absoluteProfilePath(const std::string& path);

// The file's text, read only when no other user could have written the file or
// a folder above it (TrustedFile.h); a refused file gives 5 and a line on the
// debug output naming it and why.
ProfileLoad loadProfileText(const std::string& path);

// The bytes of `content` in its encoding, byte-order mark included.
std::string encodeProfileText(const ProfileText& content);

// Line-level rules shared by the reader and the writer.
std::wstring_view trimProfileBlanks(std::wstring_view text);
bool profileNamesEqual(std::wstring_view a, std::wstring_view b);
// The section name of a "[name]" line, or nothing for any other line.
std::optional<std::wstring_view> profileSectionName(std::wstring_view trimmedLine);
// The key name of a "key = value" line, or nothing for any other line.
std::optional<std::wstring_view> profileKeyName(std::wstring_view trimmedLine);

}  // namespace platform
