#include "platform/ProcessModules.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "tests/support/HeldModule.h"

namespace {

std::vector<std::string> paths(const std::vector<platform::ExecutableMapping>& mappings) {
  std::vector<std::string> out;
  for (const auto& m : mappings) out.push_back(m.path);
  return out;
}

TEST(ParseExecutableMappingsTest, KeepsFileBackedExecutableMappingsByAddress) {
  const std::string maps =
      "7f0000002000-7f0000003000 r-xp 00001000 fe:00 12  /usr/lib/libb.so\n"
      "55d000000000-55d000001000 r--p 00000000 fe:00 11                         /usr/bin/prog\n"
      "55d000001000-55d000002000 r-xp 00001000 fe:00 11                         /usr/bin/prog\n"
      "55d000002000-55d000003000 rw-p 00000000 00:00 0                          [heap]\n"
      "7f0000000000-7f0000001000 r-xp 00000000 fe:00 13                         /opt/my dir/lib a.so\n"
      "7f0000004000-7f0000005000 r-xp 00000000 00:00 0                          \n"
      "7f0000006000-7f0000007000 r-xp 00000000 fe:00 14                         /tmp/gone.so (deleted)\n"
      "7ffd00000000-7ffd00001000 r-xp 00000000 00:00 0                          [vdso]\n"
      "ffffffffff600000-ffffffffff601000 --xp 00000000 00:00 0                  [vsyscall]\n"
      "7f0000008000-7f0000009000 r-xp 00000000 fe:00 0                          /dev/zero\n"
      "garbage line\n"
      "\n"
      "7f000000a000-7f000000b000 r-xs 00000000 fe:00 15  /last.so";
  EXPECT_EQ(paths(platform::parseExecutableMappings(maps)),
            (std::vector<std::string>{"/usr/bin/prog", "/opt/my dir/lib a.so", "/usr/lib/libb.so",
                                      "/tmp/gone.so (deleted)", "/last.so"}));
}

TEST(ParseExecutableMappingsTest, EmptyMapHasNoModules) {
  EXPECT_TRUE(platform::parseExecutableMappings("").empty());
}

// A child (/bin/cat) that preloads one shared object and lives until destroyed.
class PreloadedChild {
 public:
  explicit PreloadedChild(const std::string& module) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    stdinWrite_ = in[1];
    stdoutRead_ = out[0];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string preload = "LD_PRELOAD=" + module;
    char* argv[] = {const_cast<char*>("cat"), nullptr};
    char* envp[] = {const_cast<char*>(preload.c_str()), nullptr};
    if (posix_spawn(&pid_, "/bin/cat", &actions, nullptr, argv, envp) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
  }
  ~PreloadedChild() {
    if (stdinWrite_ >= 0) close(stdinWrite_);  // cat ends at end of input
    if (stdoutRead_ >= 0) close(stdoutRead_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  PreloadedChild(const PreloadedChild&) = delete;
  PreloadedChild& operator=(const PreloadedChild&) = delete;

  // True once the preloaded object's constructor has run in the child.
  bool waitLoaded() {
    if (pid_ <= 0) return false;
    pollfd fd{stdoutRead_, POLLIN, 0};
    char ready = 0;
    return poll(&fd, 1, 60'000) == 1 && read(stdoutRead_, &ready, 1) == 1 && ready == 'R';
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int stdinWrite_ = -1;
  int stdoutRead_ = -1;
};

std::vector<platform::ProcessModule> walkModules() {
  std::vector<platform::ProcessModule> modules;
  const platform::ProcessModuleWalk walk = platform::forEachProcessModule([&](const platform::ProcessModule& module) {
    modules.push_back(module);
    return false;
  });
  EXPECT_FALSE(walk.stopped);
  EXPECT_EQ(walk.systemError, 0u);
  return modules;
}

std::vector<std::string> allModules() {
  std::vector<std::string> modules;
  const platform::ProcessModuleWalk walk = platform::forEachProcessModule([&](const platform::ProcessModule& module) {
    modules.push_back(module.name);
    return false;
  });
  EXPECT_FALSE(walk.stopped);
  EXPECT_EQ(walk.systemError, 0u);
  return modules;
}

std::ptrdiff_t indexOf(const std::vector<std::string>& modules, const std::string& path) {
  const auto it = std::find(modules.begin(), modules.end(), path);
  return it == modules.end() ? -1 : it - modules.begin();
}

TEST(ForEachProcessModuleTest, OffersEveryModuleOnceByProcessThenAddress) {
  PreloadedChild a1(VX_PROBE_MODULE_A), a2(VX_PROBE_MODULE_A), b(VX_PROBE_MODULE_B);
  ASSERT_TRUE(a1.waitLoaded() && a2.waitLoaded() && b.waitLoaded());
  const std::vector<std::string> modules = allModules();

  EXPECT_EQ(std::set<std::string>(modules.begin(), modules.end()).size(), modules.size());
  const std::ptrdiff_t moduleA = indexOf(modules, VX_PROBE_MODULE_A);
  const std::ptrdiff_t moduleB = indexOf(modules, VX_PROBE_MODULE_B);
  ASSERT_GE(moduleA, 0);
  ASSERT_GE(moduleB, 0);
  // Module A is first seen in the lower of its two processes; B's process
  // comes before or after that one by pid.
  EXPECT_EQ(moduleA < moduleB, std::min(a1.pid(), a2.pid()) < b.pid());
  // No pseudo mapping is offered; only a memfd's name does not start at the root.
  for (const std::string& path : modules) EXPECT_TRUE(path.front() == '/' || path.starts_with("memfd:")) << path;
}

TEST(ForEachProcessModuleTest, NamesWithBlanksAreWholeAndDeletedFilesAreNamedAsSuch) {
  const std::filesystem::path folder = std::filesystem::path(::testing::TempDir()) / ("vx probe folder " + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const std::filesystem::path copy = folder / "probe copy.so";
  std::filesystem::copy_file(VX_PROBE_MODULE_A, copy, std::filesystem::copy_options::overwrite_existing);

  // The loader splits LD_PRELOAD at blanks; the map shows the link's target.
  const std::filesystem::path link = std::filesystem::path(::testing::TempDir()) /
                                     ("vx_probe_link_" + std::to_string(getpid()) + ".so");
  std::filesystem::remove(link);
  std::filesystem::create_symlink(copy, link);
  PreloadedChild child(link.string());
  ASSERT_TRUE(child.waitLoaded());
  EXPECT_GE(indexOf(allModules(), copy.string()), 0);

  std::filesystem::remove(copy);
  const std::vector<std::string> afterRemoval = allModules();
  EXPECT_LT(indexOf(afterRemoval, copy.string()), 0);
  EXPECT_LT(indexOf(afterRemoval, copy.string() + " (deleted)"), 0);
  EXPECT_GE(indexOf(afterRemoval, copy.string() + " (deleted) [pid " + std::to_string(child.pid()) + "]"), 0);
  std::filesystem::remove(link);
  std::filesystem::remove_all(folder);
}

TEST(ForEachProcessModuleTest, StopsAtOnceWhenAsked) {
  std::size_t visits = 0;
  const platform::ProcessModuleWalk walk = platform::forEachProcessModule([&](const platform::ProcessModule&) {
    ++visits;
    return true;
  });
  EXPECT_TRUE(walk.stopped);
  EXPECT_EQ(visits, 1u);
}

std::string readAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class HiddenModuleTest : public ::testing::TestWithParam<HeldModule::Kind> {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::path(::testing::TempDir()) / "vx-hidden-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::filesystem::path folder_;
};

const platform::ProcessModule* findByPid(const std::vector<platform::ProcessModule>& modules, pid_t pid,
                                         platform::ProcessModuleKind kind) {
  for (const auto& module : modules) {
    if (module.pid == pid && module.kind == kind) return &module;
  }
  return nullptr;
}

platform::ProcessModuleKind expectedKind(HeldModule::Kind kind) {
  switch (kind) {
    case HeldModule::Kind::MemfdProgram: return platform::ProcessModuleKind::Memory;
    default: return platform::ProcessModuleKind::Deleted;
  }
}

TEST_P(HiddenModuleTest, IsOfferedByItsNameAndReadThroughTheKernelHandle) {
  const HeldModule held(GetParam(), folder_, "hidden-module", "\ntrailing bytes of this module\n", VX_PROBE_MODULE_A);
  ASSERT_EQ(held.failure(), "");
  const auto modules = walkModules();
  const platform::ProcessModule* module = findByPid(modules, held.pid(), expectedKind(GetParam()));
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->name, held.reportName());
  EXPECT_TRUE(module->contentPath.starts_with("/proc/" + std::to_string(held.pid()) + "/map_files/"))
      << module->contentPath;
  // What the process runs, not what the path holds now.
  EXPECT_EQ(readAll(module->contentPath), held.content());
  // No other module names the path the child mapped.
  for (const auto& other : modules) {
    if (&other == module) continue;
    EXPECT_NE(other.name, held.path().string());
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, HiddenModuleTest,
                         ::testing::ValuesIn(HeldModule::kKinds),
                         [](const auto& info) { return HeldModule::kindName(info.param); });

TEST_F(HiddenModuleTest, OneDeletedFileOfManyProcessesIsOfferedOnceUnderTheFirstHolder) {
  const HeldModule held(HeldModule::Kind::DeletedProgram, folder_, "shared", "", {}, 5);
  ASSERT_EQ(held.failure(), "");
  std::size_t offered = 0;
  std::string name;
  const pid_t first = *std::min_element(held.pids().begin(), held.pids().end());
  for (const auto& module : walkModules()) {
    if (!module.name.starts_with(held.path().string() + " (deleted) [pid ")) continue;
    ++offered;
    name = module.name;
  }
  EXPECT_EQ(offered, 1u);
  EXPECT_EQ(name, held.path().string() + " (deleted) [pid " + std::to_string(first) + "]");
}

TEST(DescribeMappingTest, NamesEachKindOfModule) {
  platform::ExecutableMapping mapping;
  mapping.start = 0x7f00;
  mapping.end = 0x8f00;
  mapping.inode = 9;
  struct Case {
    const char* path;
    bool inPlace;
    bool sameNamespace;
    platform::ProcessModuleKind kind;
    const char* name;
    const char* contentPath;
  };
  const Case cases[] = {
      {"/usr/lib/libfoo.so", true, true, platform::ProcessModuleKind::File, "/usr/lib/libfoo.so", "/usr/lib/libfoo.so"},
      {"/usr/lib/libfoo.so", true, false, platform::ProcessModuleKind::InProcessRoot,
       "/usr/lib/libfoo.so [pid 42, container root /proc/42/root]", "/proc/42/root/usr/lib/libfoo.so"},
      {"/tmp/x/evil (deleted)", false, true, platform::ProcessModuleKind::Deleted, "/tmp/x/evil (deleted) [pid 42]",
       "/proc/42/map_files/7f00-8f00"},
      {"/tmp/x/evil (deleted)", false, false, platform::ProcessModuleKind::Deleted, "/tmp/x/evil (deleted) [pid 42]",
       "/proc/42/map_files/7f00-8f00"},
      {"/memfd:payload (deleted)", false, true, platform::ProcessModuleKind::Memory, "memfd:payload [pid 42]",
       "/proc/42/map_files/7f00-8f00"},
      {"/usr/bin/tool", false, true, platform::ProcessModuleKind::Replaced, "/usr/bin/tool (replaced) [pid 42]",
       "/proc/42/map_files/7f00-8f00"},
      // A file whose own name ends so, still in place, is an ordinary file.
      {"/tmp/odd (deleted)", true, true, platform::ProcessModuleKind::File, "/tmp/odd (deleted)",
       "/tmp/odd (deleted)"},
  };
  for (const Case& c : cases) {
    mapping.path = c.path;
    const platform::ProcessModule module = platform::describeMapping(42, mapping, c.inPlace, c.sameNamespace);
    EXPECT_EQ(module.kind, c.kind) << c.path;
    EXPECT_EQ(module.name, c.name);
    EXPECT_EQ(module.contentPath, c.contentPath);
    EXPECT_EQ(module.pid, 42);
    EXPECT_EQ(module.inode, 9u);
  }
}

}  // namespace
