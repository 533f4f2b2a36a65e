#include "platform/ProcessModules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "tests/support/HeldMappings.h"
#include "tests/support/HeldModule.h"
#include "tests/support/PipedChild.h"

namespace {

namespace fs = std::filesystem;
using platform::MapsReadStatus;
using platform::ProcessModuleKind;
using platform::UnreadableMapsReason;

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

TEST(ParseExecutableMappingsTest, ReadsEveryFieldOfALine) {
  struct Case {
    const char* line;
    bool parsed;
    std::uint64_t start, end;
    std::uint32_t major, minor;
    std::uint64_t inode;
    const char* path;
  };
  const Case cases[] = {
      {"7f00a000-7f00b000 r-xp 00001000 fd:01 4242    /usr/lib/x.so", true, 0x7f00a000, 0x7f00b000, 0xfd, 1, 4242,
       "/usr/lib/x.so"},
      // The kernel shows device numbers in hexadecimal, and a large minor in more digits.
      {"1000-2000 r-xp 00000000 103:1ab 7 /a", true, 0x1000, 0x2000, 0x103, 0x1ab, 7, "/a"},
      // Blanks at the end belong to the name.
      {"1000-2000 r-xp 00000000 08:01 7 /name with blanks  ", true, 0x1000, 0x2000, 8, 1, 7, "/name with blanks  "},
      // The escape stays as shown; decoding is the caller's.
      {"1000-2000 r-xp 00000000 08:01 7 /evil\\012name", true, 0x1000, 0x2000, 8, 1, 7, "/evil\\012name"},
      {"1000-2000 r--p 00000000 08:01 7 /not/executable", false, 0, 0, 0, 0, 0, ""},
      {"1000-2000 r-xp 00000000 08:01 0 /no/inode", false, 0, 0, 0, 0, 0, ""},
      {"1000-2000 r-xp 00000000 08:01 7 [anon:named]", false, 0, 0, 0, 0, 0, ""},
      {"1000-2000 r-xp 00000000 0801 7 /no/colon", false, 0, 0, 0, 0, 0, ""},
      {"10002000 r-xp 00000000 08:01 7 /no/dash", false, 0, 0, 0, 0, 0, ""},
      {"1000-2000 r-xp 00000000 08:01 7", false, 0, 0, 0, 0, 0, ""},
      {"", false, 0, 0, 0, 0, 0, ""},
  };
  for (const Case& c : cases) {
    platform::ExecutableMappingView mapping;
    ASSERT_EQ(platform::parseExecutableMapping(c.line, mapping), c.parsed) << c.line;
    if (!c.parsed) continue;
    EXPECT_EQ(mapping.start, c.start) << c.line;
    EXPECT_EQ(mapping.end, c.end) << c.line;
    EXPECT_EQ(mapping.deviceMajor, c.major) << c.line;
    EXPECT_EQ(mapping.deviceMinor, c.minor) << c.line;
    EXPECT_EQ(mapping.inode, c.inode) << c.line;
    EXPECT_EQ(mapping.path, c.path) << c.line;
  }
}

TEST(DecodeMapsPathTest, TurnsTheNewlineEscapeBackIntoANewline) {
  struct Case {
    std::string shown;
    std::string decoded;
  };
  const Case cases[] = {
      {"", ""},
      {"/usr/lib/libc.so.6", "/usr/lib/libc.so.6"},
      {"/tmp/evil\\012name", "/tmp/evil\nname"},
      {"\\012", "\n"},
      {"/a\\012\\012b\\012", "/a\n\nb\n"},
      {"/x\\0123", "/x\n3"},
      // A backslash is shown as itself: the one before an escape stays.
      {"/a\\\\012", "/a\\\n"},
      // Other octal sequences are a name's own bytes: the kernel escapes nothing else.
      {"/tab\\011name", "/tab\\011name"},
      {"/short\\01", "/short\\01"},
      {"/not\\12", "/not\\12"},
      {"/trailing\\", "/trailing\\"},
      {"/memfd:a\\012b (deleted)", "/memfd:a\nb (deleted)"},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::decodeMapsPath(c.shown), c.decoded) << c.shown;
}

// Text whose content changes between reads as the script says: the n-th read
// (from its rewind) sees versions[n], the last one again thereafter. Served in
// small, uneven chunks, as a maps file is, so that differences fall inside chunks
// and across their ends.
class ScriptedText final : public platform::RereadableText {
 public:
  explicit ScriptedText(std::vector<std::string> versions, int failWith = 0)
      : versions_(std::move(versions)), failWith_(failWith) {}
  long read(std::span<char> into) override {
    if (failWith_ != 0) {
      errno = failWith_;
      return -1;
    }
    const std::string& text = versions_[std::min(version_, versions_.size() - 1)];
    const std::size_t count = std::min({into.size(), text.size() - offset_, std::size_t{5} + offset_ % 3});
    std::copy_n(text.data() + offset_, count, into.data());
    offset_ += count;
    return static_cast<long>(count);
  }
  bool rewind() override {
    ++version_;
    offset_ = 0;
    ++rewinds_;
    return true;
  }
  int reads() const { return rewinds_ + 1; }

 private:
  std::vector<std::string> versions_;
  int failWith_;
  std::size_t version_ = 0;
  std::size_t offset_ = 0;
  int rewinds_ = 0;
};

TEST(ReadStableTextTest, ReadsUntilTwoConsecutiveReadsAgreeOnTheLayout) {
  const std::string big(100, 'm');
  struct Case {
    const char* what;
    std::vector<std::string> versions;
    platform::MapsReadLimits limits;
    MapsReadStatus status;
    std::string text;
    int reads;
  };
  const Case cases[] = {
      {"steady", {"line one\nline two\n"}, {}, MapsReadStatus::Read, "line one\nline two\n", 2},
      {"empty (a kernel thread)", {""}, {}, MapsReadStatus::Read, "", 2},
      {"changes once", {"first\n", "second\n"}, {}, MapsReadStatus::Read, "second\n", 3},
      {"differs in the last byte", {"abcdefghijklmnop", "abcdefghijklmnoq"}, {}, MapsReadStatus::Read,
       "abcdefghijklmnoq", 3},
      {"grows", {"abcdefgh", "abcdefghijklmnopqr"}, {}, MapsReadStatus::Read, "abcdefghijklmnopqr", 3},
      {"shrinks", {"abcdefghijklmnopqr", "abcdefgh"}, {}, MapsReadStatus::Read, "abcdefgh", 3},
      {"a mapping missed once", {"a\nc\n", "a\nb\nc\n"}, {}, MapsReadStatus::Read, "a\nb\nc\n", 3},
      // A process renaming its file between reads changes the path, not the layout.
      {"a path renamed between reads",
       {"1000-2000 r-xp 00000000 08:01 7 /tmp/a\n", "1000-2000 r-xp 00000000 08:01 7 /tmp/b\n"}, {},
       MapsReadStatus::Read, "1000-2000 r-xp 00000000 08:01 7 /tmp/b\n", 2},
      {"a mapping moved between reads",
       {"1000-2000 r-xp 00000000 08:01 7 /tmp/a\n", "3000-4000 r-xp 00000000 08:01 7 /tmp/a\n",
        "3000-4000 r-xp 00000000 08:01 7 /tmp/a\n"},
       {}, MapsReadStatus::Read, "3000-4000 r-xp 00000000 08:01 7 /tmp/a\n", 3},
      {"another file under one path between reads",
       {"1000-2000 r-xp 00000000 08:01 7 /tmp/a\n", "1000-2000 r-xp 00000000 08:01 8 /tmp/a\n",
        "1000-2000 r-xp 00000000 08:01 8 /tmp/a\n"},
       {}, MapsReadStatus::Read, "1000-2000 r-xp 00000000 08:01 8 /tmp/a\n", 3},
      {"settles on the last read allowed", {"1", "2", "3", "4", "4"}, {}, MapsReadStatus::Read, "4", 5},
      {"never settles", {"1", "2", "3", "4", "5", "5"}, {}, MapsReadStatus::Unstable, "", 5},
      {"settles with more reads allowed", {"1", "2", "3", "4", "5", "5"}, {std::size_t{1} << 20, 6},
       MapsReadStatus::Read, "5", 6},
      {"exactly the limit", {big}, {100, 5}, MapsReadStatus::Read, big, 2},
      {"over the limit", {big}, {99, 5}, MapsReadStatus::TooLarge, "", 1},
      {"over the limit on a later read", {"small", big}, {99, 5}, MapsReadStatus::TooLarge, "", 2},
  };
  for (const Case& c : cases) {
    ScriptedText source(c.versions);
    std::string text = "left over";
    int error = -1;
    // Every whole read is shown to the observer, in order.
    std::vector<std::string> observed;
    EXPECT_EQ(platform::readStableText(source, c.limits, text, error,
                                       [&](std::string_view read) { observed.emplace_back(read); }),
              c.status)
        << c.what;
    if (c.status == MapsReadStatus::Read) {
      EXPECT_EQ(text, c.text) << c.what;
    }
    if (c.status != MapsReadStatus::TooLarge) {
      const std::vector<std::string> expected(c.versions.begin(),
                                              c.versions.begin() + std::min<std::size_t>(c.reads, c.versions.size()));
      EXPECT_EQ(std::vector<std::string>(observed.begin(), observed.begin() + std::min(observed.size(), expected.size())),
                expected)
          << c.what;
      EXPECT_EQ(observed.size(), static_cast<std::size_t>(c.reads)) << c.what;
    }
    EXPECT_LE(text.size(), c.limits.bytes) << c.what;
    EXPECT_EQ(source.reads(), c.reads) << c.what;
    EXPECT_EQ(error, 0) << c.what;
  }
}

TEST(ReadStableTextTest, TellsWhyASourceCouldNotBeRead) {
  struct Case {
    int error;
    MapsReadStatus status;
  };
  const Case cases[] = {
      {EACCES, MapsReadStatus::Denied}, {EPERM, MapsReadStatus::Denied},   {ESRCH, MapsReadStatus::Vanished},
      {ENOENT, MapsReadStatus::Vanished}, {EIO, MapsReadStatus::Failed},
  };
  for (const Case& c : cases) {
    ScriptedText source({"text"}, c.error);
    std::string text;
    int error = 0;
    EXPECT_EQ(platform::readStableText(source, {}, text, error), c.status) << c.error;
    EXPECT_EQ(error, c.error);
  }
}

TEST(ProcessMapsReaderTest, ReadsOurOwnMapsAndTellsAnEndedProcess) {
  platform::ProcessMapsReader reader;
  ASSERT_EQ(reader.read(getpid()), MapsReadStatus::Read);
  EXPECT_NE(reader.text().find("/vx_documents_tests"), std::string_view::npos);
  EXPECT_EQ(reader.read(getpid(), {64, 5}), MapsReadStatus::TooLarge);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(0);
  ASSERT_EQ(waitpid(child, nullptr, 0), child);
  EXPECT_EQ(reader.read(child), MapsReadStatus::Vanished);
}

// A child (/bin/cat) that preloads one shared object (which writes 'R' once
// loaded) and lives until destroyed.
class PreloadedChild {
 public:
  explicit PreloadedChild(const std::string& module) : child_("/bin/cat", {"LD_PRELOAD=" + module}) {}
  // True once the preloaded object's constructor has run in the child.
  bool waitLoaded() { return child_.waitReady(); }
  pid_t pid() const { return child_.pid(); }

 private:
  PipedChild child_;
};

struct WalkResult {
  platform::ProcessModuleWalk walk;
  std::vector<platform::ProcessModule> modules;
};

WalkResult walk(const platform::MapsReadLimits& limits = {}) {
  WalkResult result;
  result.walk = platform::forEachProcessModule(
      [&](const platform::ProcessModule& module) {
        result.modules.push_back(module);
        return false;
      },
      limits);
  EXPECT_FALSE(result.walk.stopped);
  EXPECT_EQ(result.walk.systemError, 0u);
  EXPECT_EQ(result.walk.unreadableProcesses, result.walk.unreadable.size());
  return result;
}

std::vector<platform::ProcessModule> walkModules() { return walk().modules; }

std::vector<std::string> allModules() {
  std::vector<std::string> names;
  for (const auto& module : walkModules()) names.push_back(module.name);
  return names;
}

std::vector<platform::ProcessModule> modulesOf(const std::vector<platform::ProcessModule>& modules, pid_t pid) {
  std::vector<platform::ProcessModule> found;
  std::copy_if(modules.begin(), modules.end(), std::back_inserter(found),
               [&](const auto& module) { return module.pid == pid; });
  return found;
}

std::ptrdiff_t indexOf(const std::vector<std::string>& modules, const std::string& path) {
  const auto it = std::find(modules.begin(), modules.end(), path);
  return it == modules.end() ? -1 : it - modules.begin();
}

std::string readAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool writeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
  return static_cast<bool>(file.flush());
}

ino_t inodeOf(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

std::string holderSuffix(pid_t pid, std::uint64_t inode) {
  return " [pid " + std::to_string(pid) + ", inode " + std::to_string(inode) + "]";
}

// What the walk must say of every module, whatever its kind.
void expectConsistentIdentity(const platform::ProcessModule& module) {
  EXPECT_EQ(module.device, (std::uint64_t{module.deviceMajor} << 32) | module.deviceMinor) << module.name;
  // The kernel's handle reaches the very inode the map shows.
  struct stat status {};
  ASSERT_EQ(stat(module.kernelHandle.c_str(), &status), 0) << module.kernelHandle;
  EXPECT_EQ(status.st_ino, module.inode) << module.name;
  EXPECT_TRUE(module.kernelHandle.starts_with("/proc/" + std::to_string(module.pid) + "/map_files/"))
      << module.kernelHandle;
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

TEST(ForEachProcessModuleTest, AnOrdinaryModuleCarriesItsIdentityAndKernelHandle) {
  // A copy of its own, so that no other test's process holds it too.
  const fs::path copy = fs::path(::testing::TempDir()) / ("vx_probe_own_" + std::to_string(getpid()) + ".so");
  fs::copy_file(VX_PROBE_MODULE_A, copy, fs::copy_options::overwrite_existing);
  {
    PreloadedChild child(copy.string());
    ASSERT_TRUE(child.waitLoaded());
    const auto modules = walkModules();
    const auto module = std::find_if(modules.begin(), modules.end(),
                                     [&](const auto& m) { return m.name == copy.string(); });
    ASSERT_NE(module, modules.end());
    EXPECT_EQ(module->kind, ProcessModuleKind::File);
    EXPECT_EQ(module->contentPath, copy.string());
    struct stat status {};
    ASSERT_EQ(stat(copy.c_str(), &status), 0);
    EXPECT_EQ(module->deviceMajor, major(status.st_dev));
    EXPECT_EQ(module->deviceMinor, minor(status.st_dev));
    EXPECT_EQ(module->inode, status.st_ino);
    expectConsistentIdentity(*module);
    EXPECT_EQ(platform::processesHoldingInode(module->deviceMajor, module->deviceMinor, module->inode),
              std::vector<int>{child.pid()});
    EXPECT_EQ(platform::processesHoldingModule(module->name), std::vector<int>{child.pid()});
  }
  fs::remove(copy);
}

TEST(ForEachProcessModuleTest, NamesWithBlanksAreWholeAndDeletedFilesAreNamedAsSuch) {
  const fs::path folder = fs::path(::testing::TempDir()) / ("vx probe folder " + std::to_string(getpid()));
  fs::create_directories(folder);
  const fs::path copy = folder / "probe copy.so";
  fs::copy_file(VX_PROBE_MODULE_A, copy, fs::copy_options::overwrite_existing);
  const ino_t inode = inodeOf(copy);

  // The loader splits LD_PRELOAD at blanks; the map shows the link's target.
  const fs::path link = fs::path(::testing::TempDir()) / ("vx_probe_link_" + std::to_string(getpid()) + ".so");
  fs::remove(link);
  fs::create_symlink(copy, link);
  PreloadedChild child(link.string());
  ASSERT_TRUE(child.waitLoaded());
  EXPECT_GE(indexOf(allModules(), copy.string()), 0);

  fs::remove(copy);
  const std::vector<std::string> afterRemoval = allModules();
  EXPECT_LT(indexOf(afterRemoval, copy.string()), 0);
  EXPECT_LT(indexOf(afterRemoval, copy.string() + " (deleted)"), 0);
  EXPECT_GE(indexOf(afterRemoval, copy.string() + " (deleted)" + holderSuffix(child.pid(), inode)), 0);
  fs::remove(link);
  fs::remove_all(folder);
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

class HiddenModuleTest : public ::testing::TestWithParam<HeldModule::Kind> {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "vx-hidden-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }
  fs::path folder_;
};

const platform::ProcessModule* findByPid(const std::vector<platform::ProcessModule>& modules, pid_t pid,
                                         ProcessModuleKind kind) {
  for (const auto& module : modules) {
    if (module.pid == pid && module.kind == kind) return &module;
  }
  return nullptr;
}

ProcessModuleKind expectedKind(HeldModule::Kind kind) {
  switch (kind) {
    case HeldModule::Kind::MemfdProgram: return ProcessModuleKind::Memory;
    default: return ProcessModuleKind::Deleted;
  }
}

TEST_P(HiddenModuleTest, IsOfferedByItsNameAndReadThroughTheKernelHandle) {
  const HeldModule held(GetParam(), folder_, "hidden-module", "\ntrailing bytes of this module\n", VX_PROBE_MODULE_A);
  ASSERT_EQ(held.failure(), "");
  const auto modules = walkModules();
  const platform::ProcessModule* module = findByPid(modules, held.pid(), expectedKind(GetParam()));
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->name, held.reportName());
  EXPECT_EQ(module->inode, held.inode());
  EXPECT_EQ(module->contentPath, module->kernelHandle);
  expectConsistentIdentity(*module);
  // What the process runs, not what the path holds now.
  EXPECT_EQ(readAll(module->contentPath), held.content());
  // No other module names the path the child mapped.
  for (const auto& other : modules) {
    if (&other == module) continue;
    EXPECT_NE(other.name, held.path().string());
  }
  EXPECT_EQ(platform::processesHoldingModule(module->name), std::vector<int>{held.pid()});
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
  EXPECT_EQ(name, held.path().string() + " (deleted)" + holderSuffix(first, held.inode()));
  std::vector<int> holders(held.pids().begin(), held.pids().end());
  std::sort(holders.begin(), holders.end());
  EXPECT_EQ(platform::processesHoldingModule(name), holders);
}

TEST(DescribeMappingTest, NamesEachKindOfModule) {
  platform::ExecutableMapping mapping;
  mapping.start = 0x7f00;
  mapping.end = 0x8f00;
  mapping.deviceMajor = 0xfd;
  mapping.deviceMinor = 3;
  mapping.inode = 9;
  struct Case {
    const char* path;
    bool inPlace;
    bool sameNamespace;
    ProcessModuleKind kind;
    const char* name;
    const char* contentPath;
  };
  const Case cases[] = {
      {"/usr/lib/libfoo.so", true, true, ProcessModuleKind::File, "/usr/lib/libfoo.so", "/usr/lib/libfoo.so"},
      {"/usr/lib/libfoo.so", true, false, ProcessModuleKind::InProcessRoot,
       "/usr/lib/libfoo.so [pid 42, container root /proc/42/root]", "/proc/42/root/usr/lib/libfoo.so"},
      {"/tmp/x/evil (deleted)", false, true, ProcessModuleKind::Deleted, "/tmp/x/evil (deleted) [pid 42, inode 9]",
       "/proc/42/map_files/7f00-8f00"},
      {"/tmp/x/evil (deleted)", false, false, ProcessModuleKind::Deleted,
       "/tmp/x/evil (deleted) [pid 42, inode 9]", "/proc/42/map_files/7f00-8f00"},
      {"/memfd:payload (deleted)", false, true, ProcessModuleKind::Memory, "memfd:payload [pid 42, inode 9]",
       "/proc/42/map_files/7f00-8f00"},
      {"/usr/bin/tool", false, true, ProcessModuleKind::Replaced, "/usr/bin/tool (replaced) [pid 42, inode 9]",
       "/proc/42/map_files/7f00-8f00"},
      // A file whose own name ends so, still in place, is an ordinary file.
      {"/tmp/odd (deleted)", true, true, ProcessModuleKind::File, "/tmp/odd (deleted)", "/tmp/odd (deleted)"},
      // Every kind is named by the real name, the kernel's escape undone.
      {"/tmp/new\\012line", true, true, ProcessModuleKind::File, "/tmp/new\nline", "/tmp/new\nline"},
      {"/tmp/new\\012line (deleted)", false, true, ProcessModuleKind::Deleted,
       "/tmp/new\nline (deleted) [pid 42, inode 9]", "/proc/42/map_files/7f00-8f00"},
      {"/memfd:new\\012line (deleted)", false, true, ProcessModuleKind::Memory, "memfd:new\nline [pid 42, inode 9]",
       "/proc/42/map_files/7f00-8f00"},
  };
  for (const Case& c : cases) {
    mapping.path = c.path;
    const platform::ProcessModule module = platform::describeMapping(42, mapping, c.inPlace, c.sameNamespace);
    EXPECT_EQ(module.kind, c.kind) << c.path;
    EXPECT_EQ(module.name, c.name);
    EXPECT_EQ(module.contentPath, c.contentPath);
    EXPECT_EQ(module.kernelHandle, "/proc/42/map_files/7f00-8f00") << c.path;
    EXPECT_EQ(module.pid, 42);
    EXPECT_EQ(module.inode, 9u);
    EXPECT_EQ(module.deviceMajor, 0xfdu);
    EXPECT_EQ(module.deviceMinor, 3u);
    EXPECT_EQ(module.device, (std::uint64_t{0xfd} << 32) | 3);
  }
}

TEST(ProcessesHoldingModuleTest, FindsNoHolderOfANameNoProcessMaps) {
  EXPECT_TRUE(platform::processesHoldingModule("/nonexistent/vx/module.so").empty());
  EXPECT_TRUE(platform::processesHoldingModule("/nonexistent (deleted) [pid 1, inode 1]").empty());
  EXPECT_TRUE(platform::processesHoldingModule("memfd:x [pid 999999999, inode 5]").empty());
}

// Processes holding mappings made to order: several files of one name, names
// with newlines, maps too large to hold, a mapping that keeps moving.
class HeldMappingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "vx-held-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    ASSERT_GT(holder_.pid(), 0);
  }
  void TearDown() override { fs::remove_all(folder_); }

  // A new file of `content` at `path`, mapped executable by the holder.
  void mapNewFile(const fs::path& path, const std::string& content) {
    ASSERT_TRUE(writeFile(path, content)) << path;
    ASSERT_TRUE(holder_.run("map " + path.string())) << path;
  }

  std::vector<platform::ProcessModule> heldModules() { return modulesOf(walkModules(), holder_.pid()); }

  fs::path folder_;
  HeldMappings holder_{VX_MAPPING_HOLDER};
};

TEST_F(HeldMappingTest, TwoMemfdsOfOneNameAreTwoModules) {
  const std::string name = "vx-twin-" + std::to_string(getpid());
  ASSERT_TRUE(holder_.run("memfd " + name));
  ASSERT_TRUE(holder_.run("memfd " + name));
  const auto modules = heldModules();
  std::set<std::string> names;
  std::set<std::uint64_t> inodes;
  for (const auto& module : modules) {
    if (module.kind != ProcessModuleKind::Memory) continue;
    EXPECT_EQ(module.name, "memfd:" + name + holderSuffix(holder_.pid(), module.inode));
    EXPECT_EQ(module.contentPath, module.kernelHandle);
    expectConsistentIdentity(module);
    EXPECT_EQ(readAll(module.contentPath).substr(0, 17 + name.size()), "memfd content of " + name);
    EXPECT_EQ(platform::processesHoldingModule(module.name), std::vector<int>{holder_.pid()});
    names.insert(module.name);
    inodes.insert(module.inode);
  }
  EXPECT_EQ(names.size(), 2u);
  EXPECT_EQ(inodes.size(), 2u);
}

TEST_F(HeldMappingTest, TwoDeletedFilesOfOnePathAreTwoModules) {
  const fs::path path = folder_ / "evil";
  const std::string contents[] = {"the first file at this path", "the second file at this path"};
  std::set<std::string> expected;
  for (const std::string& content : contents) {
    mapNewFile(path, content);
    expected.insert(path.string() + " (deleted)" + holderSuffix(holder_.pid(), inodeOf(path)));
    fs::remove(path);
  }
  std::set<std::string> names;
  std::set<std::string> read;
  for (const auto& module : heldModules()) {
    if (module.kind != ProcessModuleKind::Deleted) continue;
    expectConsistentIdentity(module);
    EXPECT_EQ(platform::processesHoldingModule(module.name), std::vector<int>{holder_.pid()}) << module.name;
    names.insert(module.name);
    read.insert(readAll(module.contentPath));
  }
  EXPECT_EQ(names, expected);
  EXPECT_EQ(read, std::set<std::string>(std::begin(contents), std::end(contents)));
}

TEST_F(HeldMappingTest, ANameWithANewlineIsOfferedByTheRealName) {
  // The map shows a newline as "\012" and a backslash as itself: a file really
  // named with those four bytes must be told from one with a newline, also
  // when both exist side by side.
  const std::string names[] = {"evil\nname.so", "literal\\012name.so", "pair\\012x.so", "pair\nx.so", "\n"};
  for (const std::string& name : names) mapNewFile(folder_ / name, "content of " + name);
  const auto modules = heldModules();
  for (const std::string& name : names) {
    const std::string path = (folder_ / name).string();
    const auto module = std::find_if(modules.begin(), modules.end(), [&](const auto& m) { return m.name == path; });
    ASSERT_NE(module, modules.end()) << path;
    EXPECT_EQ(module->kind, ProcessModuleKind::File) << path;
    EXPECT_EQ(module->contentPath, path);
    EXPECT_EQ(module->inode, inodeOf(path)) << path;
    EXPECT_EQ(readAll(module->contentPath), "content of " + name);
    EXPECT_EQ(platform::processesHoldingModule(path), std::vector<int>{holder_.pid()}) << path;
  }
}

TEST_F(HeldMappingTest, ANameOfBothNewlinesAndTheirEscapeIsNeverHidden) {
  // Shown as "mixed\012\012.so", which names neither file as decoded nor as
  // shown: the module is read through the kernel's handle under the decoded name.
  const fs::path path = folder_ / "mixed\n\\012.so";
  mapNewFile(path, "mixed content");
  const auto modules = heldModules();
  const std::string name =
      (folder_ / "mixed\n\n.so").string() + " (replaced)" + holderSuffix(holder_.pid(), inodeOf(path));
  const auto module = std::find_if(modules.begin(), modules.end(), [&](const auto& m) { return m.name == name; });
  ASSERT_NE(module, modules.end()) << name;
  EXPECT_EQ(module->kind, ProcessModuleKind::Replaced);
  EXPECT_EQ(module->contentPath, module->kernelHandle);
  EXPECT_EQ(readAll(module->contentPath), "mixed content");
  EXPECT_EQ(platform::processesHoldingModule(name), std::vector<int>{holder_.pid()});
}

TEST_F(HeldMappingTest, AFileNamedLikeAHeldModuleIsFoundByItsPath) {
  const fs::path path = folder_ / ("odd [pid " + std::to_string(holder_.pid()) + ", inode 1]");
  mapNewFile(path, "a file with a name like a module's");
  EXPECT_EQ(platform::processesHoldingModule(path.string()), std::vector<int>{holder_.pid()});
}

TEST_F(HeldMappingTest, APathThroughALinkNamesNoModule) {
  fs::create_directories(folder_ / "real");
  mapNewFile(folder_ / "real" / "module.so", "reached only by its own path");
  fs::create_directory_symlink(folder_ / "real", folder_ / "link");
  EXPECT_EQ(platform::processesHoldingModule((folder_ / "real" / "module.so").string()),
            std::vector<int>{holder_.pid()});
  EXPECT_TRUE(platform::processesHoldingModule((folder_ / "link" / "module.so").string()).empty());
}

std::uint64_t statusKilobytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field)) return std::stoull(line.substr(std::string_view(field).size()));
  }
  return 0;
}

const platform::ProcessModule* findNamed(const std::vector<platform::ProcessModule>& modules, const std::string& name) {
  const auto found = std::find_if(modules.begin(), modules.end(), [&](const auto& m) { return m.name == name; });
  return found == modules.end() ? nullptr : &*found;
}

bool listsUnreadable(const std::vector<platform::UnreadableProcess>& list, pid_t pid, UnreadableMapsReason reason) {
  return std::find(list.begin(), list.end(), platform::UnreadableProcess{pid, reason, 0}) != list.end();
}

TEST_F(HeldMappingTest, MapsLargerThanTheBoundAreListedAsTooLargeWithoutBeingHeld) {
  // A long path mapped many times: every mapping is a line of the maps.
  fs::path deep = folder_;
  for (int level = 0; level < 15; ++level) deep /= std::string(250, static_cast<char>('a' + level));
  fs::create_directories(deep);
  const fs::path module = deep / "module.so";
  ASSERT_TRUE(writeFile(module, "mapped over and over"));
  // The path and the fields before it.
  const std::uint64_t lineBytes = module.string().size() + 80;

  // Within the byte limit, maps of tens of megabytes are read whole.
  constexpr int kWithinLimit = 12'000;
  ASSERT_LT(kWithinLimit * lineBytes, platform::kMapsByteLimit / 4 * 3);
  ASSERT_TRUE(holder_.run("repeat " + std::to_string(kWithinLimit) + " " + module.string()));
  EXPECT_NE(findNamed(modulesOf(walkModules(), holder_.pid()), module.string()), nullptr);

  // Beyond it, a walk holds no more than its bound of them.
  constexpr int kBeyondLimit = 60'000;
  ASSERT_TRUE(holder_.run("repeat " + std::to_string(kBeyondLimit - kWithinLimit) + " " + module.string()));
  const std::uint64_t mapsKilobytes = kBeyondLimit * lineBytes / 1024;
  ASSERT_GT(mapsKilobytes, 3 * (platform::kMapsByteLimit >> 10));
  const platform::MapsReadLimits limits{std::size_t{1} << 20, platform::kMapsReads};
  // The peak of our memory, from here on; a walk before has set up what any
  // walk needs (its thread's allocator arena, a sanitizer's thread state).
  walk(limits);
  std::ofstream("/proc/self/clear_refs") << "5";
  const std::uint64_t before = statusKilobytes("VmRSS:");
  const WalkResult result = walk(limits);
  const std::uint64_t peak = statusKilobytes("VmHWM:");
  EXPECT_TRUE(listsUnreadable(result.walk.unreadable, holder_.pid(), UnreadableMapsReason::TooLarge));
  EXPECT_TRUE(modulesOf(result.modules, holder_.pid()).empty());
  EXPECT_LT(peak - std::min(peak, before), mapsKilobytes / 8) << "before " << before << " kB, peak " << peak << " kB";

  const auto listed = platform::listProcessesWithUnreadableMaps(limits);
  EXPECT_TRUE(listsUnreadable(listed, holder_.pid(), UnreadableMapsReason::TooLarge));
  EXPECT_TRUE(std::is_sorted(listed.begin(), listed.end(),
                             [](const auto& a, const auto& b) { return a.pid < b.pid; }));
  EXPECT_TRUE(listsUnreadable(walk().walk.unreadable, holder_.pid(), UnreadableMapsReason::TooLarge));
}

TEST_F(HeldMappingTest, AMappingMovedAboutIsFoundByEveryWalk) {
  const fs::path module = folder_ / "mover.so";
  ASSERT_TRUE(writeFile(module, "moved about"));
  ASSERT_TRUE(holder_.run("move " + module.string()));
  constexpr int kWalks = 50;
  for (int round = 0; round < kWalks; ++round) {
    const WalkResult result = walk();
    const auto modules = modulesOf(result.modules, holder_.pid());
    const bool seen = findNamed(modules, module.string()) != nullptr;
    // A reader slowed down (a sanitizer's build) may never see two reads agree:
    // the process is then listed, and its mappings are those any read showed.
    for (const auto& unreadable : result.walk.unreadable) {
      if (unreadable.pid == holder_.pid()) {
        EXPECT_EQ(unreadable.reason, UnreadableMapsReason::Unstable);
      }
    }
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // So slowed, the mover (which paces itself by its own, uninstrumented reads)
    // outruns the reader now and then; there the walk is run for its races only.
    (void)seen;
#else
    EXPECT_TRUE(seen) << "walk " << round;
#endif
  }
}

}  // namespace
