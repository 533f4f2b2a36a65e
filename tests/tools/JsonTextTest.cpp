// JSON string literals: what must be escaped, and bytes that are not UTF-8.
#include "tools/ovrascan/JsonText.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct QuoteCase {
  const char* name;
  std::wstring text;
  std::string json;
};

void PrintTo(const QuoteCase& value, std::ostream* out) { *out << value.name; }

class JsonTextTest : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(JsonTextTest, Quotes) { EXPECT_EQ(JsonText::quoted(GetParam().text), GetParam().json); }

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonTextTest,
    ::testing::Values(QuoteCase{"Empty", L"", "\"\""}, QuoteCase{"Plain", L"/usr/lib/libc.so.6", "\"/usr/lib/libc.so.6\""},
                      QuoteCase{"QuoteAndBackslash", L"a\"b\\c", R"("a\"b\\c")"},
                      QuoteCase{"ShortEscapes", L"\b\f\n\r\t", R"("\b\f\n\r\t")"},
                      QuoteCase{"OtherControls", std::wstring(L"\x01\x1f\x7f\x85", 4) + std::wstring(1, L'\0'),
                                R"("\u0001\u001f\u007f\u0085\u0000")"},
                      QuoteCase{"Utf8", L"\u00e9\u4e2d\U0001F600", "\"\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80\""},
                      QuoteCase{"EscapedBytes", L"a\xdc80\xdcff", R"("a\udc80\udcff")"},
                      QuoteCase{"LoneSurrogate", L"\xd800", R"("\ud800")"},
                      QuoteCase{"LineSeparators", L"\u2028\u2029", R"("\u2028\u2029")"},
                      QuoteCase{"BeyondUnicode", std::wstring(1, static_cast<wchar_t>(0x110000)), "\"\xef\xbf\xbd\""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
