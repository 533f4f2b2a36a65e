#pragma once
// VxHex8: a 32-bit code (an HRESULT above all) as log texts show it, eight
// upper-case hexadecimal digits with leading zeros:
//   VX_LOG(VX_LOG_ERROR, kFunction) << L"hr=" << VxHex8{hr};
// The stream's own formatting is left as it was.
#include <cstdint>
#include <iomanip>
#include <ostream>

struct VxHex8 {
  std::uint32_t value;
  template <class Code>
  explicit VxHex8(Code code) : value(static_cast<std::uint32_t>(code)) {}
};

inline std::wostream& operator<<(std::wostream& stream, VxHex8 code) {
  const std::ios_base::fmtflags flags = stream.flags();
  const wchar_t fill = stream.fill();
  stream << std::hex << std::uppercase << std::setw(8) << std::setfill(L'0') << code.value;
  stream.flags(flags);
  stream.fill(fill);
  return stream;
}
