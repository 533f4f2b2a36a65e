// Names as the terminal shows them: nothing in a name can steer the terminal, and
// every printed name reads back to one byte sequence.
#include "tools/ovrascan/TerminalText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct EscapeCase {
  const char* name;
  std::string raw;
  std::string shown;
};

class TerminalTextTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(TerminalTextTest, EscapesWhatCouldSteerTheTerminal) {
  EXPECT_EQ(TerminalText::escaped(GetParam().raw), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Names, TerminalTextTest,
    ::testing::Values(
        EscapeCase{"Plain", "/usr/lib/libc.so.6", "/usr/lib/libc.so.6"},
        EscapeCase{"ModuleNameWithBlanks", "memfd:x [pid 42, inode 7]", "memfd:x [pid 42, inode 7]"},
        EscapeCase{"Utf8Letters", "/tmp/\xC3\xA9t\xC3\xA9/\xE2\x82\xAC/\xF0\x9F\x98\x80",
                   "/tmp/\xC3\xA9t\xC3\xA9/\xE2\x82\xAC/\xF0\x9F\x98\x80"},
        EscapeCase{"NewlineThatFakesACleanLine", "/tmp/a\nObjects scanned: 1", "/tmp/a\\nObjects scanned: 1"},
        EscapeCase{"NamedControls", std::string("\a\b\t\v\f\r", 6), "\\a\\b\\t\\v\\f\\r"},
        EscapeCase{"Backslash", "/tmp/a\\nb", "/tmp/a\\\\nb"},
        EscapeCase{"EscapeSequence", "/tmp/\x1b[2K\x1b[1A", "/tmp/\\033[2K\\033[1A"},
        EscapeCase{"Delete", "/tmp/\x7f", "/tmp/\\177"},
        EscapeCase{"C1ControlInUtf8", "/tmp/\xC2\x9B" "31m", "/tmp/\\302\\23331m"},
        EscapeCase{"NotUtf8", "/tmp/\xFF\xC3", "/tmp/\\377\\303"},
        EscapeCase{"OverlongSlash", "/tmp/\xC0\xAF", "/tmp/\\300\\257"},
        EscapeCase{"Surrogate", "/tmp/\xED\xA0\x80", "/tmp/\\355\\240\\200"},
        EscapeCase{"TruncatedSequence", "/tmp/\xE2\x82", "/tmp/\\342\\202"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
