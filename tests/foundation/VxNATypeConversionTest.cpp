#include "foundation/VxNATypeConversion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>

#include "tests/support/HexBytes.h"

namespace {

using vxtest::hex;

using namespace std::string_literals;

std::string codePoints(const std::wstring& text) {
  std::string out;
  for (const wchar_t c : text) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%sU+%04X", out.empty() ? "" : " ",
                  static_cast<unsigned>(c));
    out += buffer;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Narrow (file-name bytes) -> wide -> narrow

struct NarrowCase {
  const char* name;
  std::string narrow;
  std::wstring wide;  // what the bytes decode to
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const NarrowCase& c, std::ostream* os) { *os << c.name; }

class NarrowRoundTripTest : public ::testing::TestWithParam<NarrowCase> {};

TEST_P(NarrowRoundTripTest, DecodesAsExpectedAndEncodesBackByteExactly) {
  const NarrowCase& c = GetParam();
  const std::wstring wide = VxNATypeConversion::ansiBufferToWideString(c.narrow);
  EXPECT_EQ(codePoints(wide), codePoints(c.wide));

  const std::string back = VxNATypeConversion::wideBufferToAnsiString(wide);
  EXPECT_EQ(hex(back), hex(c.narrow));

  // The buffer overloads agree with the string overloads.
  EXPECT_EQ(VxNATypeConversion::ansiBufferToWideString(
                c.narrow.data(), static_cast<std::uint32_t>(c.narrow.size())),
            wide);
  EXPECT_EQ(VxNATypeConversion::wideBufferToAnsiString(wide.data(),
                                                       static_cast<std::uint32_t>(wide.size())),
            back);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NarrowRoundTripTest,
    ::testing::Values(
        NarrowCase{"Empty", "", L""}, NarrowCase{"Ascii", "scan/a b.txt", L"scan/a b.txt"},
        NarrowCase{"EmbeddedNul", "a\0b"s, L"a\0b"s},
        NarrowCase{"TwoByte", "caf\xC3\xA9", L"caf\u00E9"},
        NarrowCase{"ThreeByte", "\xE6\xBC\xA2", L"\u6F22"},
        NarrowCase{"FourByte", "\xF0\x9F\x98\x80", L"\U0001F600"},
        NarrowCase{"HighestCodePoint", "\xF4\x8F\xBF\xBF", L"\U0010FFFF"},
        NarrowCase{"LoneFF", "\xFF", L"\xDCFF"},
        NarrowCase{"LoneContinuation", "\x80", L"\xDC80"},
        NarrowCase{"TruncatedSequence", "\xE6\xBC", L"\xDCE6\xDCBC"},
        NarrowCase{"TruncatedBeforeAscii", "\xE6\xBCx", L"\xDCE6\xDCBCx"},
        NarrowCase{"TruncatedBeforeValid", "\xE6\xC3\xA9", L"\xDCE6\u00E9"},
        NarrowCase{"OverlongSlash", "\xC0\xAF", L"\xDCC0\xDCAF"},
        NarrowCase{"OverlongFourByte", "\xF0\x80\x80\x80", L"\xDCF0\xDC80\xDC80\xDC80"},
        NarrowCase{"EncodedSurrogate", "\xED\xA0\x80", L"\xDCED\xDCA0\xDC80"},
        NarrowCase{"AboveUnicode", "\xF4\x90\x80\x80", L"\xDCF4\xDC90\xDC80\xDC80"},
        NarrowCase{"Mixed", "a\xFF" "b\xC3\xA9\xE6\xBC", L"a\xDCFF" L"b\u00E9\xDCE6\xDCBC"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(NarrowRoundTripTest, EveryByteValueRoundTripsOnItsOwnAndInARun) {
  std::string all;
  for (int value = 0; value < 256; ++value) {
    const std::string one(1, static_cast<char>(value));
    const std::wstring wide = VxNATypeConversion::ansiBufferToWideString(one);
    ASSERT_EQ(wide.size(), 1u) << value;
    EXPECT_EQ(static_cast<std::uint32_t>(wide[0]),
              value < 0x80 ? static_cast<std::uint32_t>(value) : 0xDC00u + value);
    EXPECT_EQ(hex(VxNATypeConversion::wideBufferToAnsiString(wide)), hex(one));
    all.push_back(static_cast<char>(value));
  }
  const std::wstring wide = VxNATypeConversion::ansiBufferToWideString(all);
  EXPECT_EQ(hex(VxNATypeConversion::wideBufferToAnsiString(wide)), hex(all));
}

// ---------------------------------------------------------------------------
// Wide -> narrow (-> wide)

struct WideCase {
  const char* name;
  std::wstring wide;
  std::string narrow;
  bool roundTrips;  // false where UTF-8 cannot carry the character
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const WideCase& c, std::ostream* os) { *os << c.name; }

class WideConversionTest : public ::testing::TestWithParam<WideCase> {};

TEST_P(WideConversionTest, EncodesAsExpected) {
  const WideCase& c = GetParam();
  const std::string narrow = VxNATypeConversion::wideBufferToAnsiString(c.wide);
  EXPECT_EQ(hex(narrow), hex(c.narrow));
  EXPECT_EQ(VxNATypeConversion::wideBufferToAnsiString(c.wide.data(),
                                                       static_cast<std::uint32_t>(c.wide.size())),
            narrow);

  const std::wstring back = VxNATypeConversion::ansiBufferToWideString(narrow);
  if (c.roundTrips) {
    EXPECT_EQ(codePoints(back), codePoints(c.wide));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WideConversionTest,
    ::testing::Values(
        WideCase{"Empty", L"", "", true}, WideCase{"Ascii", L"C:/scan/x.exe", "C:/scan/x.exe", true},
        WideCase{"EmbeddedNul", L"a\0b"s, "a\0b"s, true},
        WideCase{"Latin", L"\u00E9t\u00E9", "\xC3\xA9t\xC3\xA9", true},
        WideCase{"Cjk", L"\u6F22\u5B57", "\xE6\xBC\xA2\xE5\xAD\x97", true},
        WideCase{"Emoji", L"\U0001F600", "\xF0\x9F\x98\x80", true},
        WideCase{"LastBmp", L"\uFFFF", "\xEF\xBF\xBF", true},
        WideCase{"EscapedLowest", L"\xDC80", "\x80", true},
        WideCase{"EscapedHighest", L"\xDCFF", "\xFF", true},
        WideCase{"EscapesBetweenText", L"x\xDCE6\xDCBCy", "x\xE6\xBCy", true},
        // Not representable: become U+FFFD (EF BF BD).
        WideCase{"HighSurrogate", L"\xD800", "\xEF\xBF\xBD", false},
        WideCase{"LowSurrogateBelowEscapes", L"\xDC7F", "\xEF\xBF\xBD", false},
        WideCase{"EscapeOfAsciiByte", L"\xDC41", "\xEF\xBF\xBD", false},
        WideCase{"LowSurrogateAboveEscapes", L"\xDD00", "\xEF\xBF\xBD", false},
        WideCase{"AboveUnicode", std::wstring(1, static_cast<wchar_t>(0x110000)), "\xEF\xBF\xBD",
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Buffer arguments

TEST(TypeConversionBufferTest, CountLimitsTheInputAndNullGivesEmpty) {
  EXPECT_EQ(VxNATypeConversion::ansiBufferToWideString("abc", 2), L"ab");
  // A count that cuts a sequence leaves its first byte undecodable.
  EXPECT_EQ(codePoints(VxNATypeConversion::ansiBufferToWideString("\xC3\xA9", 1)),
            codePoints(L"\xDCC3"));
  EXPECT_EQ(VxNATypeConversion::wideBufferToAnsiString(L"abc", 2), "ab");
  EXPECT_EQ(VxNATypeConversion::ansiBufferToWideString(nullptr, 5), L"");
  EXPECT_EQ(VxNATypeConversion::wideBufferToAnsiString(nullptr, 5), "");
}

}  // namespace
