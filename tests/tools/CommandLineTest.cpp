// What ovrascan makes of its arguments.
#include "tools/ovrascan/CommandLine.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using Command = CommandLine::Command;

std::string joinedArguments(const std::vector<std::string>& arguments) {
  std::string text = "ovrascan";
  for (const auto& argument : arguments) text += " '" + argument + "'";
  return text;
}

std::string parse(std::vector<std::string> arguments, CommandLine& line) {
  arguments.insert(arguments.begin(), "ovrascan");
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  return CommandLine::parse(static_cast<int>(arguments.size()), argv.data(), line);
}

struct GoodCase {
  std::vector<std::string> arguments;
  Command command;
  bool clean;
  bool detectionsOnly;
  bool quiet;
  const char* configFile;
  const char* reportFile;
  const char* path;
  bool summaryOnly = false;
  const char* jsonFile = "";
  Command helpTopic = Command::Help;
};

void PrintTo(const GoodCase& value, std::ostream* out) { *out << joinedArguments(value.arguments); }

class CommandLineGoodTest : public ::testing::TestWithParam<GoodCase> {};

TEST_P(CommandLineGoodTest, Parses) {
  const GoodCase& expected = GetParam();
  CommandLine line;
  line.quiet = !expected.quiet;  // parse starts afresh
  ASSERT_EQ(parse(expected.arguments, line), "");
  EXPECT_EQ(line.command, expected.command);
  EXPECT_EQ(line.clean, expected.clean);
  EXPECT_EQ(line.detectionsOnly, expected.detectionsOnly);
  EXPECT_EQ(line.quiet, expected.quiet);
  EXPECT_EQ(line.configFile, expected.configFile);
  EXPECT_EQ(line.reportFile, expected.reportFile);
  EXPECT_EQ(line.path, expected.path);
  EXPECT_EQ(line.summaryOnly, expected.summaryOnly);
  EXPECT_EQ(line.jsonFile, expected.jsonFile);
  EXPECT_EQ(line.helpTopic, expected.helpTopic);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineGoodTest,
    ::testing::Values(GoodCase{{"--help"}, Command::Help, false, false, false, "", "", ""},
                      GoodCase{{"-h"}, Command::Help, false, false, false, "", "", ""},
                      GoodCase{{"help"}, Command::Help, false, false, false, "", "", ""},
                      GoodCase{{"version"}, Command::Version, false, false, false, "", "", ""},
                      GoodCase{{"scan"}, Command::Scan, false, false, false, "", "", ""},
                      GoodCase{{"scan", "--clean", "--quiet"}, Command::Scan, true, false, true, "", "", ""},
                      GoodCase{{"scan", "--config", "c.xml", "--report", "r.xml", "--detections-only"},
                               Command::Scan, false, true, false, "c.xml", "r.xml", ""},
                      GoodCase{{"scan", "--report", "./--clean"}, Command::Scan, false, false, false, "",
                               "./--clean", ""},
                      GoodCase{{"scan", "--config", "a.xml", "--config", "b.xml"}, Command::Scan, false, false,
                               false, "b.xml", "", ""},
                      GoodCase{{"clean-file", "/tmp/x"}, Command::CleanFile, false, false, false, "", "", "/tmp/x"},
                      GoodCase{{"clean-file", "--clean"}, Command::CleanFile, false, false, false, "", "",
                               "--clean"},
                      GoodCase{{"--version"}, Command::Version, false, false, false, "", "", ""},
                      GoodCase{{"scan", "--help"}, Command::Help, false, false, false, "", "", "", false, "",
                               Command::Scan},
                      GoodCase{{"clean-file", "--help"}, Command::Help, false, false, false, "", "", "", false, "",
                               Command::CleanFile},
                      GoodCase{{"clean-file", "./--help"}, Command::CleanFile, false, false, false, "", "",
                               "./--help"},
                      GoodCase{{"scan", "--config=c.xml", "--report=r=1.xml", "--json", "j.json"}, Command::Scan,
                               false, false, false, "c.xml", "r=1.xml", "", false, "j.json"},
                      GoodCase{{"scan", "--json=--odd", "--detections-only", "--summary-only"}, Command::Scan, false,
                               true, false, "", "", "", true, "--odd"}));

struct BadCase {
  std::vector<std::string> arguments;
  const char* message;
};

void PrintTo(const BadCase& value, std::ostream* out) { *out << joinedArguments(value.arguments); }

class CommandLineBadTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(CommandLineBadTest, SaysWhatIsWrong) {
  CommandLine line;
  EXPECT_EQ(parse(GetParam().arguments, line), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineBadTest,
    ::testing::Values(BadCase{{}, "no command given"}, BadCase{{"scna"}, "unknown command 'scna'"},
                      BadCase{{"--verison"}, "unknown command '--verison'"},
                      BadCase{{"--version", "now"}, "version takes no arguments"},
                      BadCase{{"scan", "--no-cache=yes"}, "option --no-cache takes no value"},
                      BadCase{{"scan", "--help=all"}, "unknown argument '--help=all' for scan"},
                      BadCase{{"scan", "--clean=yes"}, "option --clean takes no value"},
                      BadCase{{"scan", "--report="}, "option --report needs a file name"},
                      BadCase{{"scan", "--json"}, "option --json needs a file name"},
                      BadCase{{"scan", "--report", "a.xml", "--json=a.xml"}, "--report and --json name the same file"},
                      BadCase{{"clean-file", "--help", "x"}, "clean-file needs exactly one PATH"},
                      BadCase{{"help", "scan"}, "help takes no arguments"},
                      BadCase{{"version", "-v"}, "version takes no arguments"},
                      BadCase{{"scan", "--cleaned"}, "unknown argument '--cleaned' for scan"},
                      BadCase{{"scan", "extra"}, "unknown argument 'extra' for scan"},
                      BadCase{{"scan", "--config"}, "option --config needs a file name"},
                      BadCase{{"scan", "--config", ""}, "option --config needs a file name"},
                      BadCase{{"scan", "--report"}, "option --report needs a file name"},
                      BadCase{{"scan", "--report", "--quiet"}, "option --report needs a file name"},
                      BadCase{{"scan", "--detections-only"}, "--detections-only needs --report FILE or --json FILE"},
                      BadCase{{"clean-file"}, "clean-file needs exactly one PATH"},
                      BadCase{{"clean-file", ""}, "clean-file needs exactly one PATH"},
                      BadCase{{"clean-file", "a", "b"}, "clean-file needs exactly one PATH"},
                      BadCase{{"session-count", "set"}, "session-count set needs a count from 0 to 4294967295"},
                      BadCase{{"session-count", "set", "-1"}, "session-count set needs a count from 0 to 4294967295"},
                      BadCase{{"session-count", "set", "4294967296"},
                              "session-count set needs a count from 0 to 4294967295"},
                      BadCase{{"session-count", "set", "--persist"},
                              "session-count set needs a count from 0 to 4294967295"},
                      BadCase{{"session-count", "set", "1", "2"}, "unknown argument '2' for session-count set"},
                      BadCase{{"session-count", "increment", "--persist", "--persist"},
                              "unknown argument '--persist' for session-count increment"},
                      BadCase{{"session-count", "--persist"}, "unknown argument '--persist' for session-count"},
                      BadCase{{"session-count", "reset"}, "unknown argument 'reset' for session-count"},
                      BadCase{{"log-settings", "x"}, "unknown argument 'x' for log-settings"},
                      BadCase{{"log-settings", "set", "Severity"},
                              "log-settings set needs a KEY and a VALUE from 0 to 4294967295"},
                      BadCase{{"log-settings", "set", "Severity", "-1"},
                              "log-settings set needs a KEY and a VALUE from 0 to 4294967295"},
                      BadCase{{"log-settings", "set", "Severity", "1", "--global", "--global"},
                              "unknown argument '--global' for log-settings set"},
                      BadCase{{"log", "--tail"}, "unknown argument '--tail' for log"},
                      BadCase{{"log", "--lines"}, "--lines needs a number from 1 to 1000000"},
                      BadCase{{"log", "--lines", "0"}, "--lines needs a number from 1 to 1000000"},
                      BadCase{{"log", "--lines=-3"}, "--lines needs a number from 1 to 1000000"},
                      BadCase{{"log", "--lines", "1000001"}, "--lines needs a number from 1 to 1000000"},
                      BadCase{{"log", "--lines", "99999999999999999999"}, "--lines needs a number from 1 to 1000000"},
                      BadCase{{"collect", "--upload=yes"}, "option --upload takes no value"},
                      BadCase{{"collect", "--tool"}, "option --tool needs a file name"},
                      BadCase{{"collect", "--save-archive", "--upload"}, "option --save-archive needs a file name"},
                      BadCase{{"collect", "--clean"}, "unknown argument '--clean' for collect"},
                      BadCase{{"register", "now"}, "register takes no arguments"},
                      BadCase{{"unregister", "--all"}, "unregister takes no arguments"},
                      BadCase{{"--activate"}, "no command given"},
                      BadCase{{"scan", "--activate"}, "unknown argument '--activate' for scan"},
                      BadCase{{"--activate", "--activate", "scan"}, "unknown command '--activate'"}));

TEST(CommandLineActivationTest, ActivateComesBeforeAnyCommand) {
  CommandLine line;
  ASSERT_EQ(parse({"--activate", "scan", "--quiet"}, line), "");
  EXPECT_TRUE(line.activate);
  EXPECT_EQ(line.command, Command::Scan);
  EXPECT_TRUE(line.quiet);
  ASSERT_EQ(parse({"register"}, line), "");
  EXPECT_FALSE(line.activate);
  EXPECT_EQ(line.command, Command::Register);
  ASSERT_EQ(parse({"unregister"}, line), "");
  EXPECT_EQ(line.command, Command::Unregister);
}

TEST(CommandLineCollectTest, Parses) {
  CommandLine line;
  ASSERT_EQ(parse({"collect", "--upload", "--tool=/opt/x/Sifter.exe", "--save-archive", "a.zip", "--clean-session"},
                  line),
            "");
  EXPECT_EQ(line.command, Command::Collect);
  EXPECT_TRUE(line.upload);
  EXPECT_TRUE(line.cleanSession);
  EXPECT_EQ(line.toolPath, "/opt/x/Sifter.exe");
  EXPECT_EQ(line.archiveFile, "a.zip");
  ASSERT_EQ(parse({"collect", "--help"}, line), "");
  EXPECT_EQ(line.helpTopic, Command::Collect);
  ASSERT_EQ(parse({"collect"}, line), "");
  EXPECT_FALSE(line.upload || line.cleanSession);
}

struct SessionCountCase {
  std::vector<std::string> arguments;
  CommandLine::SessionAction action;
  std::uint32_t count;
  bool persist;
};

TEST(CommandLineSessionCountTest, Parses) {
  using Action = CommandLine::SessionAction;
  const SessionCountCase cases[] = {
      {{"session-count"}, Action::Show, 0, false},
      {{"session-count", "set", "0"}, Action::Set, 0, false},
      {{"session-count", "set", "4294967295", "--persist"}, Action::Set, 4294967295u, true},
      {{"session-count", "increment"}, Action::Increment, 0, false},
      {{"session-count", "increment", "--persist"}, Action::Increment, 0, true},
  };
  for (const SessionCountCase& c : cases) {
    SCOPED_TRACE(joinedArguments(c.arguments));
    CommandLine line;
    ASSERT_EQ(parse(c.arguments, line), "");
    EXPECT_EQ(line.command, Command::SessionCount);
    EXPECT_EQ(line.sessionAction, c.action);
    EXPECT_EQ(line.sessionCount, c.count);
    EXPECT_EQ(line.persist, c.persist);
  }
  CommandLine line;
  ASSERT_EQ(parse({"session-count", "--help"}, line), "");
  EXPECT_EQ(line.helpTopic, Command::SessionCount);
}

struct LogCase {
  std::vector<std::string> arguments;
  Command command;
  std::uint32_t lines;
  Command helpTopic = Command::Help;
};

void PrintTo(const LogCase& value, std::ostream* out) { *out << joinedArguments(value.arguments); }

class CommandLineLogTest : public ::testing::TestWithParam<LogCase> {};

TEST_P(CommandLineLogTest, Parses) {
  CommandLine line;
  ASSERT_EQ(parse(GetParam().arguments, line), "");
  EXPECT_EQ(line.command, GetParam().command);
  EXPECT_EQ(line.logLines, GetParam().lines);
  EXPECT_EQ(line.helpTopic, GetParam().helpTopic);
}

INSTANTIATE_TEST_SUITE_P(Cases, CommandLineLogTest,
                         ::testing::Values(LogCase{{"log-settings"}, Command::LogSettings, 10},
                                           LogCase{{"log"}, Command::Log, 10},
                                           LogCase{{"log", "--lines", "3"}, Command::Log, 3},
                                           LogCase{{"log", "--lines=1000000"}, Command::Log, 1000000},
                                           LogCase{{"log", "--help"}, Command::Help, 10, Command::Log}));

TEST(CommandLine, LogSettingsSetTakesKeyValueAndScope) {
  const struct {
    std::vector<std::string> arguments;
    std::string key;
    std::uint32_t value;
    bool global;
  } cases[] = {
      {{"log-settings"}, "", 0, false},
      {{"log-settings", "set", "MaxSize", "25600"}, "MaxSize", 25600, false},
      {{"log-settings", "set", "Severity", "0", "--global"}, "Severity", 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(joinedArguments(c.arguments));
    CommandLine line;
    ASSERT_EQ(parse(c.arguments, line), "");
    EXPECT_EQ(line.command, Command::LogSettings);
    EXPECT_EQ(line.logSettingKey, c.key);
    EXPECT_EQ(line.logSettingValue, c.value);
    EXPECT_EQ(line.logSettingGlobal, c.global);
  }
}

}  // namespace
