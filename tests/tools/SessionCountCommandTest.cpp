// ovrascan session-count, run as a user runs it, with a machine folder of the
// test's own: the counter it shows, sets and increments through the object, and
// what it says when it cannot.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "tests/tools/ChildProcess.h"

namespace {

namespace fs = std::filesystem;

constexpr int kError = 2;

class SessionCountCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "ovrascan-sessions-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    // Other users must reach the machine folder to read the registry in it.
    ::chmod(folder_.c_str(), 0755);
  }
  void TearDown() override {
    std::error_code ignored;
    if (!folder_.empty()) fs::remove_all(folder_, ignored);
  }

  std::string machineFolder() const { return folder_.string(); }
  ChildProcess::Result run(const std::vector<std::string>& arguments) const {
    std::vector<std::string> command{"session-count"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return runToEnd(TEST_BINARY, command, {"VX_MACHINE_DIR=" + machineFolder()});
  }
  static std::string shown(unsigned count, bool persist) {
    return "Clean sessions: " + std::to_string(count) + "\nPersist after uninstall: " + (persist ? "yes" : "no") +
           "\n";
  }

  fs::path folder_;
};

TEST_F(SessionCountCommandTest, ShowsSetsAndIncrements) {
  struct Step {
    std::vector<std::string> arguments;
    std::string out;
  };
  const Step steps[] = {
      {{}, shown(0, false)},
      {{"set", "5", "--persist"}, shown(5, true)},
      {{}, shown(5, true)},
      {{"increment", "--persist"}, shown(6, true)},
      {{"increment"}, shown(7, false)},
      {{"set", "5000"}, shown(1024, false)},
      {{"increment", "--persist"}, shown(1024, true)},
      {{"set", "0"}, shown(0, false)},
  };
  for (const Step& step : steps) {
    const auto result = run(step.arguments);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, step.out);
    EXPECT_EQ(result.err, "");
  }
  struct stat status {};
  ASSERT_EQ(::stat((folder_ / "Vexora" / "registry.db").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);
}

TEST_F(SessionCountCommandTest, ShowingStoresNothing) {
  const auto result = run({});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_FALSE(fs::exists(folder_ / "Vexora"));
}

TEST_F(SessionCountCommandTest, MisuseIsAnError) {
  const auto result = run({"set"});
  EXPECT_EQ(result.exitCode, kError);
  EXPECT_NE(result.err.find("session-count set needs a count from 0 to 4294967295"), std::string::npos) << result.err;
  EXPECT_EQ(result.out, "");
}

// A stored value that is damaged is named as such, with the command that
// replaces it; setting does.
TEST_F(SessionCountCommandTest, DamagedValueIsNamedAndSetReplacesIt) {
  ASSERT_EQ(run({"set", "5", "--persist"}).exitCode, 0);
  // The count lies at Software\Vexora\<product>\<affiliate>: every count there is cut short.
  const platform::Registry registry((folder_ / "Vexora" / "registry.db").string());
  constexpr auto kMachine = platform::RegistryHive::LocalMachine;
  std::vector<std::string> products;
  ASSERT_EQ(registry.enumerateSubkeys(kMachine, "Software\\Vexora", products), 0u);
  int damaged = 0;
  for (const std::string& product : products) {
    std::vector<std::string> affiliates;
    ASSERT_EQ(registry.enumerateSubkeys(kMachine, "Software\\Vexora\\" + product, affiliates), 0u);
    for (const std::string& affiliate : affiliates) {
      const std::string key = "Software\\Vexora\\" + product + "\\" + affiliate;
      const std::vector<std::uint8_t> cut{'V', 'X'};
      ASSERT_EQ(registry.setValue(kMachine, key, "CleanCount", platform::kRegBinary, cut), 0u);
      ++damaged;
    }
  }
  ASSERT_EQ(damaged, 1);
  const auto shownDamaged = run({});
  EXPECT_EQ(shownDamaged.exitCode, kError);
  EXPECT_EQ(shownDamaged.out, "");
  EXPECT_NE(shownDamaged.err.find("the stored clean-session count cannot be read: it is damaged"), std::string::npos)
      << shownDamaged.err;
  EXPECT_NE(shownDamaged.err.find("ovrascan session-count set N [--persist] replaces a damaged value"),
            std::string::npos)
      << shownDamaged.err;
  const auto replaced = run({"set", "2"});
  EXPECT_EQ(replaced.exitCode, 0) << replaced.err;
  EXPECT_EQ(replaced.out, shown(2, false));
}

// OpenSSL configured with the base provider only has no MD5: a value cannot be
// guarded, so setting fails with 6000 and leaves the stored count as it was,
// and a stored value cannot be checked, so it is not read either.
TEST_F(SessionCountCommandTest, WithoutMd5NothingIsWrittenOrRead) {
  ASSERT_EQ(run({"set", "5", "--persist"}).exitCode, 0);
  const fs::path config = folder_ / "base-only.cnf";
  std::ofstream(config) << "openssl_conf = openssl_init\n"
                           "[openssl_init]\nproviders = provider_sect\n"
                           "[provider_sect]\nbase = base_sect\n"
                           "[base_sect]\nactivate = 1\n";
  const std::vector<std::string> environment{"VX_MACHINE_DIR=" + machineFolder(), "OPENSSL_CONF=" + config.string()};
  for (const std::vector<std::string>& command :
       std::vector<std::vector<std::string>>{{"session-count", "set", "6"}, {"session-count", "increment"}}) {
    const auto result = runToEnd(TEST_BINARY, command, environment);
    EXPECT_EQ(result.exitCode, kError) << result.err;
    EXPECT_NE(result.err.find("failed with status 6000 (0x00001770): the protected-value cipher could not be set up"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.out, "");
  }
  const auto unread = runToEnd(TEST_BINARY, {"session-count"}, environment);
  EXPECT_EQ(unread.exitCode, kError) << unread.err;
  EXPECT_EQ(unread.out, "");
  const auto result = run({});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, shown(5, true));
}

// The build tree's modes follow the builder's umask, which may keep other users
// from loading the module; a copy of the host folder that anyone can read and
// run makes the test independent of it.
fs::path installHostForEveryone(const fs::path& folder) {
  const fs::path host = folder / "host";
  fs::create_directory(host);
  fs::permissions(host, fs::perms(0755));
  const fs::path built = TEST_BINARY;
  for (const fs::directory_entry& entry : fs::directory_iterator(built.parent_path())) {
    if (!entry.is_regular_file()) continue;
    const fs::path copy = host / entry.path().filename();
    fs::copy_file(entry.path(), copy);
    fs::permissions(copy, fs::perms(0755));
  }
  return host / built.filename();
}

// A user without write access to the registry sees the object's status.
TEST_F(SessionCountCommandTest, WritingWithoutAccessFails) {
  const char* setpriv = "/usr/bin/setpriv";
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
  if (::access(setpriv, X_OK) != 0) GTEST_SKIP() << "no setpriv to drop root";
  ASSERT_EQ(run({"set", "3", "--persist"}).exitCode, 0);
  const fs::path host = installHostForEveryone(folder_);
  for (const std::vector<std::string>& command :
       std::vector<std::vector<std::string>>{{"set", "4"}, {"increment"}}) {
    std::vector<std::string> arguments{"--reuid=65534", "--regid=65534", "--clear-groups", host.string(),
                                       "session-count"};
    arguments.insert(arguments.end(), command.begin(), command.end());
    const auto result = runToEnd(setpriv, arguments, {"VX_MACHINE_DIR=" + machineFolder()});
    EXPECT_EQ(result.exitCode, kError) << result.err;
    EXPECT_NE(result.err.find("failed with status 1627"), std::string::npos) << result.err;
  }
  const auto result = run({});
  EXPECT_EQ(result.out, shown(3, true));
}

}  // namespace
