// The registry store: Windows semantics of keys and values, its error codes,
// access rights, links, file modes, and what concurrent and killed writers leave.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/Registry.h"

namespace {

using platform::kRegBinary;
using platform::kRegDword;
using platform::kRegSz;
using platform::Registry;
using platform::RegistryHive;
using platform::RegistryValue;

constexpr auto kMachine = RegistryHive::LocalMachine;
constexpr auto kClasses = RegistryHive::ClassesRoot;

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<std::uint8_t> dwordBytes(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::uint32_t dwordOf(const RegistryValue& value) {
  std::uint32_t number = 0;
  for (std::size_t i = 0; i < 4 && i < value.data.size(); ++i) number |= std::uint32_t{value.data[i]} << (8 * i);
  return number;
}

// Waits for a forked child and gives its exit status (-1 when it did not exit).
int exitStatusOf(pid_t child) {
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "vxregistry.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    ::chmod(root_.c_str(), 0755);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::permissions(root_ / "Vexora", std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(root_, ignored);
  }

  std::string folder() const { return (root_ / "Vexora").string(); }
  std::string databasePath() const { return folder() + "/registry.db"; }
  Registry registry() const { return Registry(databasePath()); }

  std::filesystem::path root_;
};

TEST_F(RegistryTest, KeysAndValueNamesCompareWithoutCase) {
  const Registry store = registry();
  ASSERT_EQ(store.createKey(kMachine, "Software\\Vexora\\Scanner Ä"), 0u);
  EXPECT_EQ(store.openKey(kMachine, "SOFTWARE\\vexora\\SCANNER ä"), 0u);
  EXPECT_EQ(store.openKey(kMachine, "software\\VEXORA\\"), 0u);

  const auto one = dwordBytes(1);
  ASSERT_EQ(store.setValue(kMachine, "software\\vexora\\scanner ä", "CleanCount", kRegDword, one), 0u);
  const auto two = dwordBytes(2);
  ASSERT_EQ(store.setValue(kMachine, "SOFTWARE\\VEXORA\\SCANNER Ä", "CLEANCOUNT", kRegDword, two), 0u);
  RegistryValue value;
  ASSERT_EQ(store.queryValue(kMachine, "Software\\Vexora\\Scanner Ä", "cleancount", value), 0u);
  EXPECT_EQ(value, (RegistryValue{kRegDword, two}));

  // A second creation in another case is the same key; the first spelling stays.
  ASSERT_EQ(store.createKey(kMachine, "SOFTWARE\\VEXORA\\Other"), 0u);
  std::vector<std::string> names;
  ASSERT_EQ(store.enumerateSubkeys(kMachine, "software\\vexora", names), 0u);
  EXPECT_EQ(names, (std::vector<std::string>{"Other", "Scanner Ä"}));
  ASSERT_EQ(store.enumerateSubkeys(kMachine, "", names), 0u);
  EXPECT_EQ(names, (std::vector<std::string>{"Software"}));
}

TEST_F(RegistryTest, HivesAreSeparate) {
  const Registry store = registry();
  ASSERT_EQ(store.createKey(kClasses, "CLSID\\{X}"), 0u);
  ASSERT_EQ(store.setValue(kClasses, "CLSID\\{X}", "", kRegSz, bytesOf("Class")), 0u);
  EXPECT_EQ(store.openKey(kMachine, "CLSID\\{X}"), 2u);
  RegistryValue value;
  ASSERT_EQ(store.queryValue(kClasses, "clsid\\{x}", "", value), 0u) << "the default value";
  EXPECT_EQ(value, (RegistryValue{kRegSz, bytesOf("Class")}));
}

TEST_F(RegistryTest, MissingKeysAndValuesGiveTheirCodes) {
  const Registry store = registry();
  RegistryValue value;
  std::vector<std::string> names;
  // Before anything was stored there is no database at all.
  EXPECT_EQ(store.openKey(kMachine, "Software"), 2u);
  EXPECT_EQ(store.queryValue(kMachine, "Software", "V", value), 2u);
  EXPECT_EQ(store.enumerateSubkeys(kMachine, "", names), 0u);
  EXPECT_TRUE(names.empty());
  EXPECT_FALSE(std::filesystem::exists(databasePath())) << "reads create nothing";

  ASSERT_EQ(store.createKey(kMachine, "Software\\Key"), 0u);
  struct Case {
    const char* what;
    std::uint32_t result;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"open a missing key", store.openKey(kMachine, "Software\\None"), 2},
      {"value of a missing key", store.queryValue(kMachine, "Software\\None", "V", value), 2},
      {"missing value", store.queryValue(kMachine, "Software\\Key", "V", value), 2},
      {"set in a missing key", store.setValue(kMachine, "Software\\None", "V", kRegDword, dwordBytes(1)), 2},
      {"delete a missing value", store.deleteValue(kMachine, "Software\\Key", "V"), 2},
      {"delete a missing key", store.deleteKey(kMachine, "Software\\None"), 2},
      {"delete a missing tree", store.deleteTree(kMachine, "Software\\None"), 2},
      {"subkeys of a missing key", store.enumerateSubkeys(kMachine, "Software\\None", names), 2},
      {"empty component", store.createKey(kMachine, "Software\\\\Key"), 87},
      {"leading separator", store.openKey(kMachine, "\\Software"), 87},
      {"delete a hive", store.deleteKey(kMachine, ""), 5},
  };
  for (const Case& c : cases) EXPECT_EQ(c.result, c.expected) << c.what;
}

TEST_F(RegistryTest, SmallBufferGivesMoreDataAndTheSize) {
  const Registry store = registry();
  ASSERT_EQ(store.createKey(kMachine, "K"), 0u);
  const auto data = bytesOf("twelve bytes");
  ASSERT_EQ(store.setValue(kMachine, "K", "V", kRegBinary, data), 0u);
  std::array<std::uint8_t, 11> small{};
  std::uint32_t type = 0;
  std::uint32_t size = 0;
  EXPECT_EQ(store.queryValue(kMachine, "K", "V", type, small, size), 234u);
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(type, kRegBinary);
  std::array<std::uint8_t, 12> exact{};
  ASSERT_EQ(store.queryValue(kMachine, "K", "V", type, exact, size), 0u);
  EXPECT_EQ(std::vector<std::uint8_t>(exact.begin(), exact.end()), data);
}

TEST_F(RegistryTest, KeyDeletion) {
  const Registry store = registry();
  for (const char* key : {"A\\B\\C", "A\\B2", "A\\B_", "A\\B[", "Z"}) ASSERT_EQ(store.createKey(kMachine, key), 0u);
  ASSERT_EQ(store.setValue(kMachine, "A\\B\\C", "V", kRegDword, dwordBytes(1)), 0u);
  ASSERT_EQ(store.setValue(kMachine, "A\\B2", "V", kRegDword, dwordBytes(2)), 0u);

  EXPECT_EQ(store.deleteKey(kMachine, "a\\b"), 5u) << "a key with subkeys is not deleted alone";
  ASSERT_EQ(store.deleteTree(kMachine, "a\\b"), 0u);
  EXPECT_EQ(store.openKey(kMachine, "A\\B"), 2u);
  EXPECT_EQ(store.openKey(kMachine, "A\\B\\C"), 2u);
  RegistryValue value;
  EXPECT_EQ(store.queryValue(kMachine, "A\\B\\C", "V", value), 2u);
  std::vector<std::string> names;
  ASSERT_EQ(store.enumerateSubkeys(kMachine, "A", names), 0u);
  EXPECT_EQ(names, (std::vector<std::string>{"B2", "B[", "B_"})) << "keys that only share the prefix stay";
  ASSERT_EQ(store.queryValue(kMachine, "A\\B2", "V", value), 0u);

  ASSERT_EQ(store.deleteKey(kMachine, "A\\B2"), 0u);
  EXPECT_EQ(store.queryValue(kMachine, "A\\B2", "V", value), 2u) << "its values go with it";
  ASSERT_EQ(store.createKey(kMachine, "A\\B2"), 0u);
  EXPECT_EQ(store.queryValue(kMachine, "A\\B2", "V", value), 2u) << "and do not come back with the key";

  ASSERT_EQ(store.deleteTree(kMachine, ""), 0u);
  ASSERT_EQ(store.enumerateSubkeys(kMachine, "", names), 0u);
  EXPECT_TRUE(names.empty());
}

TEST_F(RegistryTest, FilesAreMadeWithMachineWideModes) {
  const mode_t previous = ::umask(077);
  const std::uint32_t created = registry().createKey(kMachine, "K");
  ::umask(previous);
  ASSERT_EQ(created, 0u);
  struct stat status {};
  ASSERT_EQ(::stat(folder().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0755u);
  ASSERT_EQ(::stat(databasePath().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);
}

TEST_F(RegistryTest, NoSymbolicLinkIsFollowed) {
  const std::filesystem::path elsewhere = root_ / "elsewhere";
  std::filesystem::create_directory(elsewhere);
  std::filesystem::create_directory_symlink(elsewhere, folder());
  EXPECT_EQ(registry().createKey(kMachine, "K"), 1921u) << "the folder is a link";
  EXPECT_FALSE(std::filesystem::exists(elsewhere / "registry.db"));
  EXPECT_EQ(registry().openKey(kMachine, "K"), 1921u);

  std::filesystem::remove(folder());
  std::filesystem::create_directory(folder());
  ASSERT_EQ(Registry((elsewhere / "real.db").string()).createKey(kMachine, "K"), 0u);
  std::filesystem::create_symlink(elsewhere / "real.db", databasePath());
  EXPECT_EQ(registry().createKey(kMachine, "Other"), 1921u) << "the database is a link";
  EXPECT_EQ(registry().openKey(kMachine, "K"), 1921u);
  EXPECT_EQ(Registry((elsewhere / "real.db").string()).openKey(kMachine, "Other"), 2u);
}

// A writer that may only read: every write fails with 5 and changes nothing,
// reads still work.
void expectWritesDenied(const Registry& store) {
  RegistryValue value;
  EXPECT_EQ(store.queryValue(kMachine, "Software\\Key", "V", value), 0u);
  EXPECT_EQ(store.createKey(kMachine, "Software\\New"), 5u);
  EXPECT_EQ(store.setValue(kMachine, "Software\\Key", "V", kRegDword, dwordBytes(9)), 5u);
  EXPECT_EQ(store.deleteValue(kMachine, "Software\\Key", "V"), 5u);
  EXPECT_EQ(store.deleteTree(kMachine, "Software"), 5u);
  EXPECT_EQ(store.updateValue(kMachine, "Software\\Key", "V",
                              [](std::optional<RegistryValue>&) { return 0u; }),
            5u);
  EXPECT_EQ(store.queryValue(kMachine, "Software\\Key", "V", value), 0u);
  EXPECT_EQ(dwordOf(value), 1u);
}

TEST_F(RegistryTest, ReadOnlyAccessDeniesEveryWrite) {
  ASSERT_EQ(registry().createKey(kMachine, "Software\\Key"), 0u);
  ASSERT_EQ(registry().setValue(kMachine, "Software\\Key", "V", kRegDword, dwordBytes(1)), 0u);
  expectWritesDenied(Registry(databasePath(), Registry::Access::ReadOnly));
  // Nothing stored yet and no right to create the database.
  EXPECT_EQ(Registry(folder() + "/none.db", Registry::Access::ReadOnly).createKey(kMachine, "K"), 5u);
}

// The same through the file system's own rights: a user other than the owner
// (root drops to nobody in a child; anyone else loses the write bits).
TEST_F(RegistryTest, WithoutWriteRightsWritesFailWithAccessDenied) {
  ASSERT_EQ(registry().createKey(kMachine, "Software\\Key"), 0u);
  ASSERT_EQ(registry().setValue(kMachine, "Software\\Key", "V", kRegDword, dwordBytes(1)), 0u);
  if (::geteuid() != 0) {
    ASSERT_EQ(::chmod(databasePath().c_str(), 0444), 0);
    ASSERT_EQ(::chmod(folder().c_str(), 0555), 0);
    expectWritesDenied(registry());
    return;
  }
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(99);
    const Registry store = registry();
    RegistryValue value;
    const bool denied = store.queryValue(kMachine, "Software\\Key", "V", value) == 0 &&
                        store.setValue(kMachine, "Software\\Key", "V", kRegDword, dwordBytes(9)) == 5 &&
                        store.createKey(kMachine, "Software\\New") == 5 &&
                        Registry(folder() + "/none.db").createKey(kMachine, "K") == 5 &&
                        Registry((root_ / "Sub" / "r.db").string()).createKey(kMachine, "K") == 5;
    ::_exit(denied ? 0 : 1);
  }
  EXPECT_EQ(exitStatusOf(child), 0);
  RegistryValue value;
  ASSERT_EQ(registry().queryValue(kMachine, "Software\\Key", "V", value), 0u);
  EXPECT_EQ(dwordOf(value), 1u);
}

TEST_F(RegistryTest, UpdateRollsBackWhatItsFunctionRefuses) {
  const Registry store = registry();
  std::optional<RegistryValue> seen;
  EXPECT_EQ(store.updateValue(kMachine, "New\\Key", "V",
                              [&](std::optional<RegistryValue>& value) {
                                seen = value;
                                value = RegistryValue{kRegDword, dwordBytes(5)};
                                return 13u;
                              }),
            13u);
  EXPECT_FALSE(seen.has_value());
  EXPECT_EQ(store.openKey(kMachine, "New"), 2u) << "the key it made is gone as well";

  ASSERT_EQ(store.updateValue(kMachine, "New\\Key", "V",
                              [](std::optional<RegistryValue>& value) {
                                value = RegistryValue{kRegDword, dwordBytes(5)};
                                return 0u;
                              }),
            0u);
  RegistryValue value;
  ASSERT_EQ(store.queryValue(kMachine, "new\\key", "v", value), 0u);
  EXPECT_EQ(dwordOf(value), 5u);
  ASSERT_EQ(store.updateValue(kMachine, "New\\Key", "V",
                              [](std::optional<RegistryValue>& current) {
                                current.reset();
                                return 0u;
                              }),
            0u);
  EXPECT_EQ(store.queryValue(kMachine, "New\\Key", "V", value), 2u);
}

std::uint32_t increment(const Registry& store) {
  return store.updateValue(kMachine, "Counter", "N", [](std::optional<RegistryValue>& value) {
    const std::uint32_t count = value ? dwordOf(*value) : 0;
    value = RegistryValue{kRegDword, dwordBytes(count + 1)};
    return 0u;
  });
}

// Runs under ThreadSanitizer too: each call has its own connection.
TEST_F(RegistryTest, ConcurrentUpdatesFromThreadsLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kEach = 50;
  const Registry store = registry();
  std::vector<std::thread> threads;
  std::array<int, kThreads> failures{};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) failures[t] += increment(store) != 0 ? 1 : 0;
    });
  }
  for (auto& thread : threads) thread.join();
  for (int failed : failures) EXPECT_EQ(failed, 0);
  RegistryValue value;
  ASSERT_EQ(store.queryValue(kMachine, "Counter", "N", value), 0u);
  EXPECT_EQ(dwordOf(value), std::uint32_t{kThreads * kEach});
}

TEST_F(RegistryTest, ConcurrentUpdatesFromProcessesLoseNothing) {
  constexpr int kEach = 100;
  ASSERT_EQ(registry().createKey(kMachine, "Counter"), 0u);
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
      int failures = 0;
      for (int i = 0; i < kEach; ++i) failures += increment(registry()) != 0 ? 1 : 0;
      ::_exit(failures == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  for (pid_t child : children) EXPECT_EQ(exitStatusOf(child), 0);
  RegistryValue value;
  ASSERT_EQ(registry().queryValue(kMachine, "Counter", "N", value), 0u);
  EXPECT_EQ(dwordOf(value), std::uint32_t{2 * kEach});
}

// A writer killed at an arbitrary moment: the database stays readable and
// writable, and every value is one that was written whole.
TEST_F(RegistryTest, AWriterKilledMidwayLeavesEveryValueWhole) {
  constexpr std::size_t kValueSize = 64 * 1024;
  constexpr int kValues = 4;
  ASSERT_EQ(registry().createKey(kMachine, "Crash"), 0u);
  int progress[2];
  ASSERT_EQ(::pipe(progress), 0);
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    ::close(progress[0]);
    const Registry store = registry();
    for (std::uint32_t round = 1;; ++round) {
      // Each value is its round number in every byte; its type says the same.
      const std::vector<std::uint8_t> data(kValueSize, static_cast<std::uint8_t>(round));
      for (int v = 0; v < kValues; ++v) {
        const std::string name = "V" + std::to_string(v);
        if (store.setValue(kMachine, "Crash", name, round, data) != 0) ::_exit(1);
      }
      const char tick = 1;
      if (::write(progress[1], &tick, 1) != 1) ::_exit(2);
    }
  }
  ::close(progress[1]);
  // Let it finish some rounds, then kill it wherever it is.
  char ticks[8];
  std::size_t seen = 0;
  while (seen < sizeof ticks) {
    const ssize_t got = ::read(progress[0], ticks, sizeof ticks - seen);
    ASSERT_GT(got, 0);
    seen += static_cast<std::size_t>(got);
  }
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ::close(progress[0]);
  ASSERT_TRUE(WIFSIGNALED(status));

  const Registry store = registry();
  for (int v = 0; v < kValues; ++v) {
    RegistryValue value;
    const std::string name = "V" + std::to_string(v);
    ASSERT_EQ(store.queryValue(kMachine, "Crash", name, value), 0u) << name;
    ASSERT_EQ(value.data.size(), kValueSize) << name;
    const auto expected = static_cast<std::uint8_t>(value.type);
    EXPECT_EQ(std::count(value.data.begin(), value.data.end(), expected), static_cast<long>(kValueSize)) << name;
  }
  EXPECT_EQ(increment(store), 0u) << "and the next writer can write";
}

}  // namespace
