#include "platform/automation/Bstr.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <limits>

namespace {

// The prefix is four bytes as on Windows; with a four-byte OLECHAR the characters
// stay naturally aligned behind it.
using LengthPrefix = std::uint32_t;
static_assert(sizeof(LengthPrefix) % alignof(OLECHAR) == 0);

LengthPrefix* prefixOf(BSTR text) {
  return reinterpret_cast<LengthPrefix*>(reinterpret_cast<unsigned char*>(text) - sizeof(LengthPrefix));
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  constexpr std::size_t kMaxBytes = std::numeric_limits<LengthPrefix>::max();
  if (length > (kMaxBytes - sizeof(LengthPrefix)) / sizeof(OLECHAR) - 1) return nullptr;
  const std::size_t bytes = static_cast<std::size_t>(length) * sizeof(OLECHAR);
  // malloc rather than new: the block is freed by SysFreeString from a raw pointer and
  // allocation failure must come back as null, as callers of the SDK expect.
  void* block = std::malloc(sizeof(LengthPrefix) + bytes + sizeof(OLECHAR));
  if (block == nullptr) return nullptr;
  auto* prefix = static_cast<LengthPrefix*>(block);
  *prefix = static_cast<LengthPrefix>(bytes);
  BSTR result = reinterpret_cast<BSTR>(prefix + 1);
  if (text != nullptr) {
    std::memcpy(result, text, bytes);
  } else {
    std::memset(result, 0, bytes);
  }
  result[length] = L'\0';
  return result;
}

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  const std::size_t length = std::wcslen(text);
  if (length > std::numeric_limits<UINT>::max()) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

void SysFreeString(BSTR text) {
  if (text != nullptr) std::free(prefixOf(text));
}

UINT SysStringByteLen(BSTR text) { return text == nullptr ? 0 : *prefixOf(text); }

UINT SysStringLen(BSTR text) { return SysStringByteLen(text) / sizeof(OLECHAR); }
