#include "platform/PrivateProfile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>

#include "engine/VxAVScannerIni.h"
#include "tests/engine/EngineTestSupport.h"

namespace {

constexpr std::uint32_t kBuffer = 1024;

struct ProfileCase {
  const char* name;
  std::string file;  // bytes of the settings file
  std::wstring section;
  std::wstring key;
  std::wstring expected;
};

void PrintTo(const ProfileCase& c, std::ostream* os) { *os << c.name; }

class PrivateProfileReadTest : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(PrivateProfileReadTest, GivesTheValueOrTheDefault) {
  vxtest::ScratchFolder folder;
  folder.write("settings.ini", GetParam().file);
  std::wstring value = L"stale";
  const std::uint32_t length = platform::readPrivateProfileString(
      folder.file("settings.ini"), GetParam().section, GetParam().key, L"dflt", kBuffer, value);
  EXPECT_EQ(value, GetParam().expected);
  EXPECT_EQ(length, GetParam().expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    Semantics, PrivateProfileReadTest,
    ::testing::Values(
        ProfileCase{"plain", "[product]\nproduct_id=42\n", L"product", L"product_id", L"42"},
        ProfileCase{"names ignore case", "[PRODUCT]\nProduct_ID=42\n", L"product", L"PRODUCT_id",
                    L"42"},
        ProfileCase{"blanks around names and values", "  [ product ]  \n  product_id =  4 2  \n",
                    L"product", L"product_id", L"4 2"},
        ProfileCase{"CRLF lines", "[product]\r\nproduct_id=42\r\nx=1\r\n", L"product",
                    L"product_id", L"42"},
        ProfileCase{"double quotes", "[s]\nk=\" spaced \"\n", L"s", L"k", L" spaced "},
        ProfileCase{"single quotes", "[s]\nk='v'\n", L"s", L"k", L"v"},
        ProfileCase{"unmatched quote kept", "[s]\nk=\"v\n", L"s", L"k", L"\"v"},
        ProfileCase{"empty value", "[s]\nk=\n", L"s", L"k", L""},
        ProfileCase{"value with equals", "[s]\nk=a=b\n", L"s", L"k", L"a=b"},
        ProfileCase{"missing key", "[s]\nother=1\n", L"s", L"k", L"dflt"},
        ProfileCase{"missing section", "[t]\nk=1\n", L"s", L"k", L"dflt"},
        ProfileCase{"key of another section", "[t]\nk=1\n[s]\nj=2\n", L"s", L"k", L"dflt"},
        ProfileCase{"key before any section", "k=1\n[s]\n", L"s", L"k", L"dflt"},
        ProfileCase{"comment line", "[s]\n;k=1\nk=2\n", L"s", L"k", L"2"},
        ProfileCase{"first occurrence wins", "[s]\nk=1\nk=2\n[s]\nk=3\n", L"s", L"k", L"1"},
        ProfileCase{"no newline at the end", "[s]\nk=last", L"s", L"k", L"last"},
        ProfileCase{"UTF-8 value", "[s]\nk=caf\xC3\xA9\n", L"s", L"k", L"caf\u00E9"},
        ProfileCase{"UTF-8 byte-order mark", "\xEF\xBB\xBF[s]\nk=1\n", L"s", L"k", L"1"},
        ProfileCase{"byte that is not UTF-8", "[s]\nk=a\xFF\n", L"s", L"k",
                    std::wstring(L"a") + wchar_t(0xDCFF)},
        ProfileCase{"UTF-16LE with byte-order mark",
                    std::string("\xFF\xFE[\0s\0]\0\n\0k\0=\0\xE9\0\n\0", 18), L"s", L"k",
                    L"\u00E9"}));

TEST(PrivateProfile, MissingFileGivesTheDefaultWithoutTrailingBlanks) {
  std::wstring value;
  EXPECT_EQ(platform::readPrivateProfileString("/nonexistent/vx/settings.ini", L"s", L"k",
                                               L"fallback  ", kBuffer, value),
            8u);
  EXPECT_EQ(value, L"fallback");
}

TEST(PrivateProfile, LongValuesAreCutToTheBuffer) {
  vxtest::ScratchFolder folder;
  folder.write("settings.ini", "[s]\nk=" + std::string(2000, 'v') + "\n");
  std::wstring value;
  EXPECT_EQ(platform::readPrivateProfileString(folder.file("settings.ini"), L"s", L"k", L"",
                                               kBuffer, value),
            1023u);
  EXPECT_EQ(value, std::wstring(1023, L'v'));
  EXPECT_EQ(platform::readPrivateProfileString(folder.file("settings.ini"), L"s", L"k", L"", 0,
                                               value),
            0u);
  EXPECT_EQ(value, L"");
}

// ---------------------------------------------------------------------------
// AVScanner.ini values: only 1 to 1021 characters count

struct LengthCase {
  std::size_t length;
  bool counts;
};

void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.length << " characters"; }

class AVScannerIniLengthTest : public ::testing::TestWithParam<LengthCase> {};

TEST_P(AVScannerIniLengthTest, CountsOnlyValuesThatFit) {
  vxtest::ScratchFolder folder;
  folder.write("AVScanner.ini", "[product]\ncontext_ids=" + std::string(GetParam().length, '7') + "\n");
  const std::optional<std::wstring> value =
      readAVScannerIniValue(folder.path(), L"product", L"context_ids");
  EXPECT_EQ(value.has_value(), GetParam().counts);
  if (value) {
    EXPECT_EQ(value->size(), GetParam().length);
  }
}

INSTANTIATE_TEST_SUITE_P(Limits, AVScannerIniLengthTest,
                         ::testing::Values(LengthCase{0, false}, LengthCase{1, true},
                                           LengthCase{1021, true}, LengthCase{1022, false},
                                           LengthCase{1023, false}, LengthCase{5000, false}));

struct NumberCase {
  std::wstring text;
  std::int32_t value;
};

void PrintTo(const NumberCase& c, std::ostream* os) {
  *os << '"' << VxNATypeConversion::wideBufferToAnsiString(c.text) << '"';
}

class SignedDecimalTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(SignedDecimalTest, ReadsLikeAtoi) {
  EXPECT_EQ(parseSignedDecimal(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SignedDecimalTest,
    ::testing::Values(NumberCase{L"42", 42}, NumberCase{L"  \t-7x", -7}, NumberCase{L"+5", 5},
                      NumberCase{L"1 2", 1}, NumberCase{L"abc", 0}, NumberCase{L"", 0},
                      NumberCase{L"-", 0}, NumberCase{L"--1", 0}, NumberCase{L"0x10", 0},
                      NumberCase{L"2147483647", 2147483647},
                      NumberCase{L"99999999999999999999", 2147483647},
                      NumberCase{L"-2147483648", -2147483647 - 1},
                      NumberCase{L"-99999999999999999999", -2147483647 - 1},
                      NumberCase{L"\u0661\u0662", 0}));  // digits of other scripts do not count

}  // namespace
