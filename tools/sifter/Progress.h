#pragma once
// Progress lines on stderr ("Sifter: <text>"), one write per line, so that a host
// sharing its terminal with the tool shows them whole.
//
// Safe from any thread; lines of concurrent callers never interleave.
#include <string>

namespace sifter {

void progress(const std::string& text);

}  // namespace sifter
