#include "kernel/VxNABuf.h"

namespace {
constexpr std::size_t kCountSize = 4;
}

std::uint32_t ser_string::serializedSize() const {
  return static_cast<std::uint32_t>(size() + kCountSize);
}

void ser_string::serialize(std::string& out) const {
  const auto count = static_cast<std::uint32_t>(size());
  for (std::size_t i = 0; i < kCountSize; ++i) {
    out.push_back(static_cast<char>((count >> (8 * i)) & 0xFF));
  }
  out.append(data(), size());
}

std::size_t ser_string::deserialize(const char* data, std::size_t size) {
  if (data == nullptr || size < kCountSize) return 0;
  std::uint32_t count = 0;
  for (std::size_t i = 0; i < kCountSize; ++i) {
    count |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
  }
  if (count > size - kCountSize) return 0;
  assign(data + kCountSize, count);
  return kCountSize + count;
}
