// The narrow encoding: ASCII runs, multi-byte sequences and bytes that are not
// UTF-8 side by side, decoded to the expected characters and encoded back to the
// same bytes.
#include "platform/Utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Utf8, DecodesAndRoundTripsMixedText) {
  const struct {
    const char* what;
    std::string bytes;
    std::wstring text;
  } cases[] = {
      {"empty", "", L""},
      {"ASCII only", "/usr/lib/x86_64-linux-gnu/libc.so.6", L"/usr/lib/x86_64-linux-gnu/libc.so.6"},
      {"multi-byte between ASCII runs", "/tmp/\xC3\xA4x\xE2\x82\xAC/\xF0\x9F\x98\x80.so", L"/tmp/\u00E4x\u20AC/\U0001F600.so"},
      {"multi-byte at both ends", "\xC3\xA4mid\xC3\xB6", L"\u00E4mid\u00F6"},
      {"stray bytes between ASCII runs", "a\xFF" "b\x80\xC3", L"a\xDCFF" L"b\xDC80\xDCC3"},
      {"overlong and surrogate forms", "\xC0\xAF" "x\xED\xA0\x80", L"\xDCC0\xDCAF" L"x\xDCED\xDCA0\xDC80"},
  };
  for (const auto& c : cases) {
    const std::wstring decoded = platform::decodeUtf8(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(decoded, c.text) << c.what;
    EXPECT_EQ(platform::encodeUtf8(decoded.data(), decoded.size()), c.bytes) << c.what;
  }
}

TEST(Utf8, CharactersUtf8CannotCarryBecomeTheReplacement) {
  const std::wstring text = std::wstring(L"a") + static_cast<wchar_t>(0xD800) + L"b" +
                            static_cast<wchar_t>(0x110000) + static_cast<wchar_t>(-1) + L"c";
  EXPECT_EQ(platform::encodeUtf8(text.data(), text.size()), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD" "c");
}

}  // namespace
