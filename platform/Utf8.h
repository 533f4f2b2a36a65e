#pragma once
// UTF-8, the narrow encoding of this platform, with a lossless escape for bytes
// that are not UTF-8: file names and files on Linux are arbitrary bytes. Decoding
// turns a byte that does not start a well-formed sequence into U+DC80..U+DCFF;
// encoding turns those characters back into the same byte ("surrogateescape").
// Wide characters UTF-8 cannot carry (other lone surrogates, values above
// U+10FFFF) are encoded as U+FFFD.
//
// Stateless; safe from any thread.
#include <cstddef>
#include <string>

namespace platform {

std::wstring decodeUtf8(const char* data, std::size_t size);
std::string encodeUtf8(const wchar_t* text, std::size_t count);

}  // namespace platform
