#pragma once
// Bytes as upper-case hexadecimal pairs separated by blanks, so that a failing
// comparison of byte strings shows where they differ.
#include <string>

namespace vxtest {

inline std::string hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char byte : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0xF]);
  }
  return out;
}

}  // namespace vxtest
