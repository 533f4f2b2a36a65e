// ovrascan register, unregister and --activate with a machine folder of the
// test's own, and a host the class objects refuse.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "process/CodeSignature.h"
#include "tests/support/ScratchFolder.h"
#include "tests/tools/ChildProcess.h"

namespace {

namespace fs = std::filesystem;

constexpr int kError = 2;

class RegistrationCommandTest : public ::testing::Test {
 protected:
  ChildProcess::Result run(const std::vector<std::string>& arguments, const std::string& host = TEST_BINARY) const {
    return runToEnd(host, arguments, {"VX_MACHINE_DIR=" + (folder_ / "machine").string()});
  }

  vxtest::ScratchFolder scratch_{"ovrascan-registration"};
  const fs::path& folder_ = scratch_.path();
};

TEST_F(RegistrationCommandTest, RegisterActivateUnregister) {
  const fs::path module = fs::path(TEST_BINARY).parent_path() / "libovrascan.so";

  auto result = run({"--activate", "session-count"});
  EXPECT_EQ(result.exitCode, kError);
  EXPECT_NE(result.err.find("the component is not registered (run ovrascan register)"), std::string::npos)
      << result.err;

  result = run({"register"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "Registered " + module.string() + "\nRegistry: " +
                            (folder_ / "machine" / "Vexora" / "registry.db").string() + "\n");

  // Both classes come from the registered module.
  result = run({"--activate", "session-count", "set", "3"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "Clean sessions: 3\nPersist after uninstall: no\n");
  result = run({"--activate", "collect", "--tool", (folder_ / "missing.exe").string()});
  EXPECT_EQ(result.exitCode, kError);
  EXPECT_EQ(result.err.find("not registered"), std::string::npos) << result.err;

  result = run({"unregister"});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(run({"--activate", "session-count"}).exitCode, kError);
  result = run({"unregister"});
  EXPECT_EQ(result.exitCode, kError);
  EXPECT_NE(result.err.find("DllUnregisterServer failed with HRESULT 2147647516 (0x8002801C): the type library "
                            "is not registered"),
            std::string::npos)
      << result.err;
}

std::string readFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

// A host that another user could have replaced (in a world-writable folder) is
// refused its objects unless it carries the product's signature.
TEST_F(RegistrationCommandTest, AnUntrustedHostIsRefusedItsObjects) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the host away";
  const fs::path exposed = folder_ / "exposed";
  fs::create_directory(exposed);
  ::chmod(exposed.c_str(), 0755);
  for (const auto& entry : fs::directory_iterator(fs::path(TEST_BINARY).parent_path())) {
    if (entry.is_regular_file()) fs::copy_file(entry.path(), exposed / entry.path().filename());
  }
  const fs::path host = exposed / fs::path(TEST_BINARY).filename();
  const std::string built = readFile(TEST_BINARY);
  std::string_view content = built;
  std::string_view signature;
  const bool isSigned = vxprocess::splitAppendedSignature(built, content, signature);

  // A host another user installed, unsigned: its objects are refused.
  std::ofstream(host, std::ios::binary | std::ios::trunc) << content;
  ::chmod(host.c_str(), 0755);
  ASSERT_EQ(::chown(host.c_str(), 65534, 65534), 0);
  auto result = run({"session-count"}, host.string());
  EXPECT_EQ(result.exitCode, kError);
  EXPECT_NE(result.err.find("failed with HRESULT 2147942405 (0x80070005): access denied"), std::string::npos)
      << result.err;

  // In a folder anyone may write to, the component module is not even loaded.
  ::chmod(exposed.c_str(), 0777);
  result = run({"session-count"}, host.string());
  EXPECT_EQ(result.exitCode, kError);
  EXPECT_NE(result.err.find("will not load the component module: " + exposed.string() + ": writable by others"),
            std::string::npos)
      << result.err;
  ::chmod(exposed.c_str(), 0755);

  if (!isSigned) GTEST_SKIP() << "this build does not sign its executables";
  fs::copy_file(TEST_BINARY, host, fs::copy_options::overwrite_existing);
  ASSERT_EQ(::chown(host.c_str(), 65534, 65534), 0);
  result = run({"session-count"}, host.string());
  EXPECT_EQ(result.exitCode, 0) << result.err;
}

}  // namespace

namespace {

// A registry database another user could have written names the module root
// loads: it is refused, and said to be, never taken for "not registered".
TEST_F(RegistrationCommandTest, UntrustedRegistryIsRefusedInWords) {
  ASSERT_EQ(run({"register"}).exitCode, 0);
  const fs::path database = folder_ / "machine" / "Vexora" / "registry.db";
  struct Case {
    const char* what;
    fs::path path;
    mode_t mode;
    bool giveAway;
    const char* why;
  } const cases[] = {
      {"database writable by others", database, 0666, false, "writable by others"},
      {"its folder writable by others", database.parent_path(), 0777, false, "writable by others"},
      {"database of another user", database, 0644, true, "owned by another user"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.giveAway && ::geteuid() != 0) continue;
    struct stat before {};
    ASSERT_EQ(::stat(c.path.c_str(), &before), 0);
    ASSERT_EQ(::chmod(c.path.c_str(), c.mode), 0);
    if (c.giveAway) {
      ASSERT_EQ(::chown(c.path.c_str(), 65534, 65534), 0);
    }
    const auto result = run({"--activate", "session-count"});
    EXPECT_EQ(result.exitCode, kError);
    EXPECT_NE(result.err.find("the registry database is not trusted: " + c.path.string() + ": " + c.why),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("not registered"), std::string::npos) << result.err;
    ASSERT_EQ(::chmod(c.path.c_str(), before.st_mode & 07777), 0);
    if (c.giveAway) {
      ASSERT_EQ(::chown(c.path.c_str(), before.st_uid, before.st_gid), 0);
    }
    EXPECT_EQ(run({"--activate", "session-count"}).exitCode, 0);
  }
}

// A registry database that is not one says so and names the file, in register,
// unregister and activation alike.
TEST_F(RegistrationCommandTest, DamagedRegistryIsNamed) {
  const fs::path database = folder_ / "machine" / "Vexora" / "registry.db";
  fs::create_directories(database.parent_path());
  std::ofstream(database, std::ios::binary) << std::string(4096, 'x');
  for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{{"register"}, {"unregister"}}) {
    SCOPED_TRACE(command[0]);
    const auto result = run(command);
    EXPECT_EQ(result.exitCode, kError);
    EXPECT_NE(result.err.find("(0x800703F1): registry database damaged: " + database.string()), std::string::npos)
        << result.err;
  }
}

}  // namespace
