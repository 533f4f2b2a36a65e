#pragma once
// TextFile: whole files in and out, with the error text the user needs when the
// file cannot be read or written (the path and the system's reason).
//
// Stateless; safe from any thread.
#include <string>

namespace TextFile {

// The file's bytes as UTF-8 text decoded to wide characters; bytes that are not
// UTF-8 survive as escapes (and an XML reader then refuses them). A leading byte
// order mark is dropped. Returns an empty text, or what failed.
std::string readUtf8(const std::string& path, std::wstring& text);

// Whether write() could create or replace the file (for failing early, before
// long work whose result goes there). Returns an empty text, or why not.
std::string checkWritable(const std::string& path);

// Replaces the file with `bytes` so that it is never seen half written: the bytes
// go to a new temporary file in the same folder (created exclusively, never
// through a link), reach the disk, and the temporary file is renamed over the
// path. When anything fails the temporary file is removed and whatever the path
// held before stays. No symbolic link is followed in any component of the path:
// one in the last component is replaced, not written through.
// Returns an empty text, or what failed.
std::string write(const std::string& path, const std::string& bytes);

}  // namespace TextFile
