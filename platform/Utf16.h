#pragma once
// UTF-16LE, the encoding of text that leaves the process in UTF-16 (log files,
// UTF-16 settings files). Characters above U+FFFF become surrogate pairs and
// pairs join again; a lone surrogate is kept as it is in both directions, so
// text that came from UTF-16 goes back to the same bytes.
//
// Stateless; safe from any thread.
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Bytes, without a byte-order mark. Values above U+10FFFF become U+FFFD.
std::string encodeUtf16Le(std::wstring_view text);
// An odd last byte is dropped.
std::wstring decodeUtf16Le(const char* data, std::size_t size);

}  // namespace platform
