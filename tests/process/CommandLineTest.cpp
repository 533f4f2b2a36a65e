#include "process/CommandLine.h"

#include <gtest/gtest.h>

#include "tests/process/ProcessTestSupport.h"

namespace {

using vxprocess::buildCommandLine;
using vxprocess::splitArguments;
using vxprocess::splitCommandLine;

TEST(CommandLineTest, BuildsTheQuotedPathAndTheArguments) {
  EXPECT_EQ(buildCommandLine(L"/opt/v/Sifter.exe", L""), L"\"/opt/v/Sifter.exe\"");
  EXPECT_EQ(buildCommandLine(L"/opt/v/Sifter.exe", L"-a \"b c\""),
            L"\"/opt/v/Sifter.exe\" -a \"b c\"");
}

struct SplitCase {
  const wchar_t* commandLine;
  std::vector<std::wstring> argv;
};

// The splitting rules of CommandLineToArgvW, case by case.
TEST(CommandLineTest, SplitsWithTheWindowsRules) {
  const SplitCase cases[] = {
      {L"\"/a b/p\"", {L"/a b/p"}},
      {L"\"/a b/p\"   ", {L"/a b/p"}},
      {L"/p x y", {L"/p", L"x", L"y"}},
      {L"\"/p\" \"a b\" c", {L"/p", L"a b", L"c"}},
      // The program name has no escapes: a backslash stays.
      {L"\"/p\\\" x", {L"/p\\", L"x"}},
      // 2n backslashes before a mark: n backslashes, the mark quotes.
      {L"\"/p\" a\\\\\"b c\"", {L"/p", L"a\\b c"}},
      // 2n+1 backslashes before a mark: n backslashes and a literal mark.
      {L"\"/p\" a\\\\\\\"b", {L"/p", L"a\\\"b"}},
      // Backslashes not before a mark are literal.
      {L"\"/p\" a\\\\b\\", {L"/p", L"a\\\\b\\"}},
      // A doubled mark inside quotes is one literal mark.
      {L"\"/p\" \"a\"\"b\"", {L"/p", L"a\"b"}},
      {L"\"/p\" \"\" x", {L"/p", L"", L"x"}},
      {L"\"/p\" \"a\tb\"\tc", {L"/p", L"a\tb", L"c"}},
  };
  for (const SplitCase& c : cases) {
    EXPECT_EQ(splitCommandLine(c.commandLine), c.argv) << c.commandLine;
  }
}

// Arguments quoted the Windows way come back as they were.
TEST(CommandLineTest, QuotedArgumentsComeBackIntact) {
  const std::vector<std::wstring> arguments = {
      L"plain", L"two words", L"", L"quote\"inside", L"trailing\\", L"back\\\\slash \\\"mix\"",
      L"tab\tand blank", L"\"\"", L"\xE4\x20AC unicode"};
  std::wstring line;
  for (const std::wstring& argument : arguments) line += L" " + vxprocess::quoteArgument(argument);
  std::vector<std::wstring> expected = {L"/p"};
  expected.insert(expected.end(), arguments.begin(), arguments.end());
  EXPECT_EQ(splitCommandLine(buildCommandLine(L"/p", line.substr(1))), expected);
}

// The arguments alone split as the words after a program name do; a leading
// quoted word is an argument like any other, never a program name.
TEST(CommandLineTest, SplitsArgumentsAlone) {
  const SplitCase cases[] = {
      {L"", {}},
      {L"   ", {}},
      {L"--scan out", {L"--scan", L"out"}},
      {L"\"a b\" c", {L"a b", L"c"}},
      {L"\"/q/Sifter\" --upload=x.exe", {L"/q/Sifter", L"--upload=x.exe"}},
      {L"a\\\\\"b c\"", {L"a\\b c"}},
      {L"\"\" x", {L"", L"x"}},
  };
  for (const SplitCase& c : cases) {
    EXPECT_EQ(splitArguments(c.commandLine), c.argv) << c.commandLine;
  }
}

}  // namespace
