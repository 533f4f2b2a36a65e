// "ovrascan quarantine list / restore ID" as an administrator runs them: the built
// program in a process of its own, over a quarantine in a machine folder of the
// test's own, filled through the quarantine library as the scan engine fills it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "qelda/QeldaCleaner.h"
#include "tests/tools/ChildProcess.h"

namespace {

namespace fs = std::filesystem;

constexpr int kDone = 0;
constexpr int kError = 2;

std::string readBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void writeBytes(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class QuarantineCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the quarantine commands are root's";
    std::string pattern = (fs::path(::testing::TempDir()) / "ovrascan-quarantine-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    fs::create_directories(folder_ / "machine");
    fs::create_directories(files());
    options_.machineFolder = (folder_ / "machine").string();
    options_.freeSpaceFloor = 0;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!folder_.empty()) fs::remove_all(folder_, ignored);
  }

  fs::path files() const { return folder_ / "files"; }
  ChildProcess::Result run(const std::vector<std::string>& arguments,
                           const std::vector<std::string>& extraEnvironment = {}) const {
    std::vector<std::string> environment{"VX_MACHINE_DIR=" + options_.machineFolder};
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    return runToEnd(TEST_BINARY, arguments, environment);
  }
  // Quarantines a file of that name and content; returns its quarantine id.
  std::string quarantined(const std::string& name, const std::string& content) const {
    const fs::path path = files() / name;
    writeBytes(path, content);
    qelda::ScannedFile file;
    qelda::QuarantineEntry entry{"Qelda.Test.Trojan", {}};
    EXPECT_EQ(qelda::openScannedFile(path.string(), file), 0);
    EXPECT_EQ(qelda::digestScannedFile(file, {}, entry.sha256), 0);
    EXPECT_EQ(qelda::quarantineScannedFile(file, entry, {}, options_), 0);
    std::vector<qelda::QuarantinedItem> items;
    EXPECT_EQ(qelda::listQuarantine(items, options_), 0);
    for (const auto& item : items) {
      if (item.record.path == path.string()) return item.id;
    }
    ADD_FAILURE() << "not quarantined: " << path;
    return {};
  }

  fs::path folder_;
  qelda::QuarantineOptions options_;
};

TEST_F(QuarantineCommandTest, ListShowsOneLinePerEntry) {
  const auto empty = run({"quarantine", "list"});
  EXPECT_EQ(empty.exitCode, kDone) << empty.err;
  EXPECT_EQ(empty.out, "The quarantine is empty.\n");

  const std::string plain = quarantined("plain", "one");
  const std::string odd = quarantined("two\nlines", "two");
  const auto result = run({"quarantine", "list"});
  EXPECT_EQ(result.exitCode, kDone) << result.err;
  EXPECT_EQ(result.err, "");
  std::vector<std::string> lines;
  std::istringstream stream(result.out);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 2u) << result.out;
  const std::string plainLine = lines[0].starts_with(plain) ? lines[0] : lines[1];
  const std::string oddLine = lines[0].starts_with(odd) ? lines[0] : lines[1];
  EXPECT_TRUE(plainLine.starts_with(plain + "  ")) << plainLine;
  EXPECT_TRUE(contains(plainLine, " UTC  Qelda.Test.Trojan  " + (files() / "plain").string())) << plainLine;
  EXPECT_TRUE(oddLine.ends_with("  " + (files() / "two%0Alines").string())) << oddLine;
}

TEST_F(QuarantineCommandTest, RestorePutsTheFileBack) {
  const std::string id = quarantined("restored", "content");
  ASSERT_FALSE(fs::exists(files() / "restored"));
  const auto result = run({"quarantine", "restore", id});
  EXPECT_EQ(result.exitCode, kDone) << result.err;
  EXPECT_EQ(result.out, "Restored " + (files() / "restored").string() + "\n");
  EXPECT_EQ(readBytes(files() / "restored"), "content");
  EXPECT_EQ(run({"quarantine", "list"}).out, "The quarantine is empty.\n");
}

TEST_F(QuarantineCommandTest, RefusedRestoresSayWhyAndKeepTheEntry) {
  const std::string id = quarantined("taken", "quarantined");
  writeBytes(files() / "taken", "newer");
  const struct {
    std::string id;
    std::string message;
  } cases[] = {
      {id, "a file already exists at the original path"},
      {"../../etc", "not a quarantine id"},
      {"no-such-entry", "no such quarantine entry"},
  };
  for (const auto& c : cases) {
    const auto result = run({"quarantine", "restore", c.id});
    EXPECT_EQ(result.exitCode, kError) << c.id;
    EXPECT_TRUE(contains(result.err, "ovrascan: cannot restore ")) << result.err;
    EXPECT_TRUE(contains(result.err, c.message)) << result.err;
    EXPECT_EQ(result.out, "") << c.id;
  }
  EXPECT_EQ(readBytes(files() / "taken"), "newer");
  EXPECT_TRUE(contains(run({"quarantine", "list"}).out, id));
}

TEST_F(QuarantineCommandTest, MisuseIsAnError) {
  for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
           {"quarantine"}, {"quarantine", "frob"}, {"quarantine", "restore"}, {"quarantine", "restore", ""},
           {"quarantine", "list", "extra"}, {"quarantine", "restore", "a", "b"}}) {
    const auto result = run(arguments);
    EXPECT_EQ(result.exitCode, kError) << arguments.size();
    EXPECT_TRUE(contains(result.err, "quarantine needs 'list' or 'restore ID'")) << result.err;
  }
}

TEST_F(QuarantineCommandTest, OnlyRootMayUseIt) {
  const char* setpriv = "/usr/bin/setpriv";
  if (::access(setpriv, X_OK) != 0) GTEST_SKIP() << "no setpriv to drop root";
  const std::string id = quarantined("kept", "content");
  for (const std::vector<std::string>& command :
       std::vector<std::vector<std::string>>{{"quarantine", "list"}, {"quarantine", "restore", id}}) {
    std::vector<std::string> arguments{"--reuid=65534", "--regid=65534", "--clear-groups", TEST_BINARY};
    arguments.insert(arguments.end(), command.begin(), command.end());
    const auto result = runToEnd(setpriv, arguments, {"VX_MACHINE_DIR=" + options_.machineFolder});
    EXPECT_EQ(result.exitCode, kError) << result.err;
    EXPECT_TRUE(contains(result.err, "the quarantine commands need root")) << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_FALSE(fs::exists(files() / "kept"));
}

// The quarantine commands load neither the component module nor the rule library.
TEST_F(QuarantineCommandTest, LoadsNoScanEngine) {
  const auto result = run({"quarantine", "list"}, {"LD_DEBUG=files"});
  EXPECT_EQ(result.exitCode, kDone);
  EXPECT_TRUE(contains(result.err, "file=")) << "the loader reported nothing";
  for (const char* library : {"libyara", "libovrascan", "libqelda64a"}) {
    EXPECT_FALSE(contains(result.err, library)) << library;
  }
}

}  // namespace
