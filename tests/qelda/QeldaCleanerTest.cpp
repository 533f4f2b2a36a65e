// Deleting, quarantining and restoring scanned files: only ever the file that was
// scanned, in the folder it was scanned in; a quarantine copy bounded to what was
// scanned; a restore that puts back exactly that file and never replaces another.
#include "qelda/QeldaCleaner.h"
#include "tests/qelda/QeldaTestFolder.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using qeldatest::readFile;
using qeldatest::TestFolder;
using qeldatest::writeFile;

constexpr const char* kDetection = "Qelda.Test.Trojan";

class QeldaCleaner : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    fs::create_directories(files());
    fs::create_directories(sentinel());
    writeFile(sentinel() / "file", "sentinel");
    options_.machineFolder = (folder_.path() / "machine").string();
    options_.freeSpaceFloor = 0;
  }

  fs::path files() const { return folder_.path() / "files"; }
  fs::path sentinel() const { return folder_.path() / "sentinel"; }
  fs::path quarantine() const { return qelda::quarantineFolder(options_); }

  // The files in the quarantine folder (none when it does not exist).
  std::vector<std::string> quarantineFiles() const {
    std::vector<std::string> names;
    std::error_code missing;
    for (const auto& entry : fs::directory_iterator(quarantine(), missing)) names.push_back(entry.path().filename());
    return names;
  }

  // Opens the file as the scan does and digests it.
  void scan(const fs::path& path, qelda::ScannedFile& file, qelda::QuarantineEntry& entry) const {
    ASSERT_EQ(qelda::openScannedFile(path.string(), file), 0) << path;
    entry.detection = kDetection;
    ASSERT_EQ(qelda::digestScannedFile(file, {}, entry.sha256), 0);
  }

  std::vector<qelda::QuarantinedItem> listed() const {
    std::vector<qelda::QuarantinedItem> items;
    EXPECT_EQ(qelda::listQuarantine(items, options_), 0);
    return items;
  }

  TestFolder folder_;
  qelda::QuarantineOptions options_;
};

enum class Action { Delete, Quarantine };

const char* nameOf(Action action) { return action == Action::Delete ? "delete" : "quarantine"; }

struct Cleaning {
  Action action;
  int operator()(const qelda::ScannedFile& file, const qelda::QuarantineEntry& entry,
                 const qelda::QuarantineOptions& options) const {
    return action == Action::Delete ? qelda::deleteScannedFile(file)
                                    : qelda::quarantineScannedFile(file, entry, {}, options);
  }
};

TEST_F(QeldaCleaner, CleansTheScannedFile) {
  for (const Action action : {Action::Delete, Action::Quarantine}) {
    const fs::path path = files() / "infected";
    writeFile(path, "infected content");
    qelda::ScannedFile file;
    qelda::QuarantineEntry entry;
    scan(path, file, entry);
    EXPECT_EQ(Cleaning{action}(file, entry, options_), 0) << nameOf(action);
    EXPECT_FALSE(fs::exists(path)) << nameOf(action);
  }
  EXPECT_EQ(listed().size(), 1u);
}

struct RefusalCase {
  const char* name;
  // Runs after the scan opened files()/"file".
  std::function<void(const fs::path& files, const fs::path& sentinel)> change;
  // What must be at files()/"file" afterwards ("" for nothing).
  const char* remaining;
};

const RefusalCase kRefusals[] = {
    {"FolderSwappedForLinkToSentinel",
     [](const fs::path& files, const fs::path& sentinel) {
       fs::rename(files, files.string() + ".moved");
       fs::create_symlink(sentinel, files);
     },
     "sentinel"},
    {"FolderSwappedForAnotherFolder",
     [](const fs::path& files, const fs::path&) {
       fs::rename(files, files.string() + ".moved");
       fs::create_directory(files);
       writeFile(files / "file", "other folder");
     },
     "other folder"},
    {"FileGrew", [](const fs::path& files, const fs::path&) { std::ofstream(files / "file", std::ios::app) << "!"; },
     "scanned content!"},
    {"FileShrank", [](const fs::path& files, const fs::path&) { fs::resize_file(files / "file", 3); }, "sca"},
    {"FileRenamedOver",
     [](const fs::path& files, const fs::path&) {
       writeFile(files / "new", "swapped in");
       fs::rename(files / "new", files / "file");
     },
     "swapped in"},
    {"FileSwappedForLink",
     [](const fs::path& files, const fs::path& sentinel) {
       fs::remove(files / "file");
       fs::create_symlink(sentinel / "file", files / "file");
     },
     "sentinel"},
};

TEST_F(QeldaCleaner, RefusesWhatIsNoLongerTheScannedFile) {
  for (const RefusalCase& c : kRefusals) {
    for (const Action action : {Action::Delete, Action::Quarantine}) {
      SCOPED_TRACE(std::string(c.name) + " " + nameOf(action));
      std::error_code ignored;
      fs::remove_all(files(), ignored);
      fs::remove_all(files().string() + ".moved", ignored);
      fs::create_directories(files());
      writeFile(files() / "file", "scanned content");
      qelda::ScannedFile file;
      qelda::QuarantineEntry entry;
      scan(files() / "file", file, entry);
      c.change(files(), sentinel());
      EXPECT_EQ(Cleaning{action}(file, entry, options_), ESTALE);
      EXPECT_EQ(readFile(files() / "file"), c.remaining);
      EXPECT_EQ(readFile(sentinel() / "file"), "sentinel");
      EXPECT_TRUE(quarantineFiles().empty());
    }
  }
}

// Another hard link would keep the content: nothing is removed or copied, and
// the truth (EMLINK, still reachable) is told instead of "cleaned".
TEST_F(QeldaCleaner, FileWithAnotherHardLinkIsNeverReportedCleaned) {
  for (const Action action : {Action::Delete, Action::Quarantine}) {
    SCOPED_TRACE(nameOf(action));
    std::error_code ignored;
    fs::remove_all(files(), ignored);
    fs::create_directories(files());
    writeFile(files() / "file", "infected content");
    fs::create_hard_link(files() / "file", files() / "other-name");
    qelda::ScannedFile file;
    qelda::QuarantineEntry entry;
    scan(files() / "file", file, entry);
    EXPECT_EQ(Cleaning{action}(file, entry, options_), EMLINK);
    EXPECT_EQ(readFile(files() / "file"), "infected content");
    EXPECT_EQ(readFile(files() / "other-name"), "infected content");
    EXPECT_TRUE(quarantineFiles().empty());
  }
}

// A process in a mount namespace of its own, holding `source` bound over
// `target` for as long as this object lives. It answers "R" once the mount is
// made and ends when its stdin closes.
class BindMountHolder {
 public:
  BindMountHolder(const fs::path& source, const fs::path& target)
      : BindMountHolder({"-m", "--propagation", "private", "/bin/sh", "-c",
                         "mount --bind '" + source.string() + "' '" + target.string() + "' && echo R && read line"}) {}
  explicit BindMountHolder(std::vector<std::string> arguments) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return;
    if (::pipe2(out, O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      return;
    }
    input_.reset(in[1]);
    output_.reset(out[0]);
    const qelda::Fd childIn(in[0]);
    const qelda::Fd childOut(out[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childIn.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, childOut.get(), STDOUT_FILENO);
    arguments.insert(arguments.begin(), "unshare");
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, "/usr/bin/unshare", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~BindMountHolder() { finish(); }
  BindMountHolder(const BindMountHolder&) = delete;
  BindMountHolder& operator=(const BindMountHolder&) = delete;

  // True once the child says the mount is there; false when it ended first.
  bool waitReady() {
    if (pid_ <= 0) return false;
    // A deadline only against a hung child: the answer decides, not the time.
    pollfd fd{output_.get(), POLLIN, 0};
    char reply[2] = {};
    return ::poll(&fd, 1, 120'000) == 1 && ::read(output_.get(), reply, sizeof reply) == 2 && reply[0] == 'R';
  }
  // Closes the child's stdin and waits for it; its exit status.
  int finish() {
    input_.reset();
    if (pid_ <= 0) return -1;
    int status = 0;
    const pid_t waited = ::waitpid(std::exchange(pid_, -1), &status, 0);
    return waited > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  qelda::Fd input_;
  qelda::Fd output_;
};

// Whether this test may make mount namespaces of its own.
bool canUnshareMounts() {
  if (::geteuid() != 0) return false;
  BindMountHolder probe({"-m", "--propagation", "private", "/bin/true"});
  return probe.finish() == 0;
}

enum class Bound { Nothing, TheFile, AnotherDeletedFile };

// A file a container bound over one of its own paths stays readable there once
// its name here is gone: never "cleaned" (EMLINK, still reachable), whether
// deleted or quarantined. Without the mount, or with the mount of another file
// that was deleted as well, the same clean succeeds.
TEST_F(QeldaCleaner, FileBoundIntoAnotherMountNamespaceIsNeverReportedCleaned) {
  if (!canUnshareMounts()) GTEST_SKIP() << "needs root and unshare -m";
  const struct {
    Action action;
    Bound bound;
    int result;
  } cases[] = {{Action::Delete, Bound::TheFile, EMLINK},
               {Action::Quarantine, Bound::TheFile, EMLINK},
               {Action::Delete, Bound::Nothing, 0},
               {Action::Quarantine, Bound::Nothing, 0},
               {Action::Delete, Bound::AnotherDeletedFile, 0},
               {Action::Quarantine, Bound::AnotherDeletedFile, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(nameOf(c.action)) + " bound " + std::to_string(static_cast<int>(c.bound)));
    std::error_code ignored;
    fs::remove_all(files(), ignored);
    fs::remove_all(quarantine(), ignored);
    fs::create_directories(files());
    const fs::path path = files() / "infected";
    const fs::path other = files() / "other";
    // A space in the mount point: mountinfo escapes it.
    const fs::path target = files() / "container view";
    writeFile(path, "infected content");
    writeFile(other, "other content");
    writeFile(target, "");
    std::optional<BindMountHolder> container;
    if (c.bound != Bound::Nothing) {
      container.emplace(c.bound == Bound::TheFile ? path : other, target);
      ASSERT_TRUE(container->waitReady());
    }
    if (c.bound == Bound::AnotherDeletedFile) fs::remove(other);
    qelda::ScannedFile file;
    qelda::QuarantineEntry entry;
    scan(path, file, entry);
    EXPECT_EQ(Cleaning{c.action}(file, entry, options_), c.result);
    EXPECT_FALSE(fs::exists(path));
    if (container) {
      // What the container sees through its mount is still there.
      const fs::path inside = fs::path("/proc") / std::to_string(container->pid()) / "root" / target.relative_path();
      EXPECT_EQ(readFile(inside), c.bound == Bound::TheFile ? "infected content" : "other content");
    }
    // A quarantine that took the name keeps its copy, so that it can be put back.
    EXPECT_EQ(listed().size(), c.action == Action::Quarantine ? 1u : 0u);
  }
}

// The same content quarantined again from the same path (it came back) refers
// to the entry the quarantine holds; from another path it is an entry of its own.
TEST_F(QeldaCleaner, ContentHeldAlreadyForThePathIsNotCopiedAgain) {
  const struct {
    const char* name;
    const char* content;
  } quarantined[] = {{"file", "infected content"},
                     {"file", "infected content"},
                     {"other", "infected content"},
                     {"file", "changed content"}};
  for (const auto& q : quarantined) {
    const fs::path path = files() / q.name;
    writeFile(path, q.content);
    qelda::ScannedFile file;
    qelda::QuarantineEntry entry;
    scan(path, file, entry);
    EXPECT_EQ(qelda::quarantineScannedFile(file, entry, {}, options_), 0) << q.name << " " << q.content;
    EXPECT_FALSE(fs::exists(path)) << q.name << " " << q.content;
  }
  const auto items = listed();
  ASSERT_EQ(items.size(), 3u);
  std::vector<std::string> kept;
  for (const auto& item : items) kept.push_back(fs::path(item.record.path).filename().string() + ":" +
                                                readFile(quarantine() / (item.id + ".qdata")));
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(kept, (std::vector<std::string>{"file:changed content", "file:infected content",
                                            "other:infected content"}));
}

// The copy asks keepGoing before every chunk, so a swap done from inside it
// happens, deterministically, while the copy runs.
TEST_F(QeldaCleaner, FileSwappedDuringTheCopyIsNotRemoved) {
  const fs::path path = files() / "large";
  writeFile(path, std::string(3u << 20, 'v'));
  qelda::ScannedFile file;
  qelda::QuarantineEntry entry;
  scan(path, file, entry);
  int asked = 0;
  const auto swap = [&] {
    if (++asked == 2) {
      writeFile(files() / "swap", "swapped in");
      fs::rename(files() / "swap", path);
    }
    return true;
  };
  EXPECT_EQ(qelda::quarantineScannedFile(file, entry, swap, options_), ESTALE);
  EXPECT_GE(asked, 2);
  EXPECT_EQ(readFile(path), "swapped in");
  EXPECT_TRUE(quarantineFiles().empty());
}

TEST_F(QeldaCleaner, StoppedCopyLeavesNothing) {
  const fs::path path = files() / "large";
  writeFile(path, std::string(3u << 20, 'v'));
  qelda::ScannedFile file;
  qelda::QuarantineEntry entry;
  scan(path, file, entry);
  int asked = 0;
  EXPECT_EQ(qelda::quarantineScannedFile(file, entry, [&] { return ++asked < 2; }, options_), ECANCELED);
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(fs::file_size(path), 3u << 20);
  EXPECT_TRUE(quarantineFiles().empty());
}

TEST_F(QeldaCleaner, CopyThatDoesNotMatchTheScannedDigestIsRefused) {
  const fs::path path = files() / "file";
  writeFile(path, "content");
  qelda::ScannedFile file;
  qelda::QuarantineEntry entry;
  scan(path, file, entry);
  entry.sha256[0] ^= 1;
  EXPECT_EQ(qelda::quarantineScannedFile(file, entry, {}, options_), ESTALE);
  EXPECT_EQ(readFile(path), "content");
  EXPECT_TRUE(quarantineFiles().empty());
}

TEST_F(QeldaCleaner, FreeSpaceFloorIsKept) {
  const fs::path path = files() / "file";
  writeFile(path, "content");
  qelda::ScannedFile file;
  qelda::QuarantineEntry entry;
  scan(path, file, entry);
  options_.freeSpaceFloor = std::numeric_limits<std::uint64_t>::max() / 2;
  EXPECT_EQ(qelda::quarantineScannedFile(file, entry, {}, options_), ENOSPC);
  EXPECT_EQ(readFile(path), "content");
  EXPECT_TRUE(quarantineFiles().empty());
}

TEST_F(QeldaCleaner, QuarantineIsOwnerOnlyAndRecordsTheFile) {
  const fs::path path = files() / "file";
  writeFile(path, "quarantined content");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  struct stat folderInfo {};
  ASSERT_EQ(::stat(files().c_str(), &folderInfo), 0);
  qelda::ScannedFile file;
  qelda::QuarantineEntry entry;
  scan(path, file, entry);
  ASSERT_EQ(qelda::quarantineScannedFile(file, entry, {}, options_), 0);

  const auto items = listed();
  ASSERT_EQ(items.size(), 1u);
  const qelda::QuarantineRecord& record = items[0].record;
  EXPECT_EQ(record.path, path.string());
  EXPECT_EQ(record.detection, kDetection);
  EXPECT_GT(record.time, 0);
  EXPECT_EQ(record.sha256, entry.sha256);
  EXPECT_EQ(record.size, 19u);
  EXPECT_EQ(record.uid, ::geteuid());
  EXPECT_EQ(record.gid, ::getegid());
  EXPECT_EQ(record.mode, 0640u);
  EXPECT_EQ(record.parentDevice, folderInfo.st_dev);
  EXPECT_EQ(record.parentInode, folderInfo.st_ino);

  const fs::path data = quarantine() / (items[0].id + ".qdata");
  EXPECT_EQ(readFile(data), "quarantined content");
  EXPECT_EQ(fs::status(quarantine()).permissions() & fs::perms::all, fs::perms::owner_all);
  for (const char* suffix : {".qdata", ".qrec"}) {
    EXPECT_EQ(fs::status(quarantine() / (items[0].id + std::string(suffix))).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write)
        << suffix;
  }
  EXPECT_EQ(quarantineFiles().size(), 2u);
}

// Almost 4 GiB that are nearly all hole: neither read nor written out in full.
TEST_F(QeldaCleaner, SparseFileIsQuarantinedAndRestoredWithoutItsHoles) {
  const fs::path path = files() / "sparse";
  const std::uint64_t size = (4ull << 30) - 4096;
  const std::string marker = "marker in the middle of nowhere";
  {
    const qelda::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(::ftruncate(fd.get(), static_cast<off_t>(size)), 0);
    ASSERT_EQ(::pwrite(fd.get(), marker.data(), marker.size(), 1ll << 30), static_cast<ssize_t>(marker.size()));
  }
  qelda::ScannedFile file;
  qelda::QuarantineEntry entry;
  scan(path, file, entry);
  ASSERT_EQ(qelda::quarantineScannedFile(file, entry, {}, options_), 0);
  file = {};
  const auto items = listed();
  ASSERT_EQ(items.size(), 1u);

  const auto expectSparseCopy = [&](const fs::path& copy) {
    struct stat info {};
    ASSERT_EQ(::stat(copy.c_str(), &info), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(info.st_size), size);
    EXPECT_LT(static_cast<std::uint64_t>(info.st_blocks) * 512u, 1u << 20);
    qelda::ScannedFile reopened;
    qelda::QuarantineEntry again;
    scan(copy, reopened, again);
    EXPECT_EQ(again.sha256, entry.sha256);
    std::string read(marker.size(), '\0');
    EXPECT_EQ(::pread(reopened.file.get(), read.data(), read.size(), 1ll << 30), static_cast<ssize_t>(read.size()));
    EXPECT_EQ(read, marker);
  };
  expectSparseCopy(quarantine() / (items[0].id + ".qdata"));
  ASSERT_EQ(qelda::restoreFromQuarantine(items[0].id, options_), 0);
  expectSparseCopy(path);
}

TEST_F(QeldaCleaner, RestorePutsBackContentOwnerAndMode) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing owners needs root";
  const fs::path path = files() / "owned";
  writeFile(path, "someone's file");
  ASSERT_EQ(::chown(path.c_str(), 4321, 8765), 0);
  ASSERT_EQ(::chmod(path.c_str(), 04751), 0);
  qelda::ScannedFile file;
  qelda::QuarantineEntry entry;
  scan(path, file, entry);
  ASSERT_EQ(qelda::quarantineScannedFile(file, entry, {}, options_), 0);
  const auto items = listed();
  ASSERT_EQ(items.size(), 1u);
  ASSERT_EQ(qelda::restoreFromQuarantine(items[0].id, options_), 0);
  struct stat info {};
  ASSERT_EQ(::lstat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_uid, 4321u);
  EXPECT_EQ(info.st_gid, 8765u);
  EXPECT_EQ(info.st_mode & 07777, 04751u);
  EXPECT_EQ(readFile(path), "someone's file");
  EXPECT_TRUE(quarantineFiles().empty());
}

TEST_F(QeldaCleaner, NameWithNewlineRestoresOnlyToItsOwnPath) {
  const std::string name = "victim\npath=escaped\ndetection=x";
  const fs::path path = files() / name;
  writeFile(path, "content");
  qelda::ScannedFile file;
  qelda::QuarantineEntry entry;
  scan(path, file, entry);
  ASSERT_EQ(qelda::quarantineScannedFile(file, entry, {}, options_), 0);
  EXPECT_FALSE(fs::exists(path));
  const auto items = listed();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].record.path, path.string());
  const std::string record = readFile(quarantine() / (items[0].id + ".qrec"));
  EXPECT_EQ(std::count(record.begin(), record.end(), '\n'), 12) << record;

  ASSERT_EQ(qelda::restoreFromQuarantine(items[0].id, options_), 0);
  EXPECT_EQ(readFile(path), "content");
  std::vector<std::string> present;
  for (const auto& e : fs::directory_iterator(files())) present.push_back(e.path().filename());
  EXPECT_EQ(present, std::vector<std::string>{name});
  EXPECT_FALSE(fs::exists("escaped"));
}

struct RestoreRefusal {
  const char* name;
  std::function<void(const fs::path& files, const fs::path& sentinel)> change;
  int error;
};

const RestoreRefusal kRestoreRefusals[] = {
    {"FolderReplacedBySameNamedFolder",
     [](const fs::path& files, const fs::path&) {
       fs::rename(files, files.string() + ".moved");
       fs::create_directory(files);
     },
     ESTALE},
    {"FolderReplacedByLinkToSentinel",
     [](const fs::path& files, const fs::path& sentinel) {
       fs::rename(files, files.string() + ".moved");
       fs::create_symlink(sentinel, files);
     },
     ELOOP},
    {"PathTakenByAFile", [](const fs::path& files, const fs::path&) { writeFile(files / "file", "newer file"); },
     EEXIST},
    {"PathTakenByALink",
     [](const fs::path& files, const fs::path& sentinel) { fs::create_symlink(sentinel / "file", files / "file"); },
     EEXIST},
};

TEST_F(QeldaCleaner, RestoreRefusesAnotherFolderAndNeverOverwrites) {
  for (const RestoreRefusal& c : kRestoreRefusals) {
    SCOPED_TRACE(c.name);
    std::error_code ignored;
    fs::remove_all(files(), ignored);
    fs::remove_all(files().string() + ".moved", ignored);
    fs::remove_all(quarantine(), ignored);
    fs::create_directories(files());
    writeFile(files() / "file", "quarantined");
    qelda::ScannedFile file;
    qelda::QuarantineEntry entry;
    scan(files() / "file", file, entry);
    ASSERT_EQ(qelda::quarantineScannedFile(file, entry, {}, options_), 0);
    const auto before = fs::exists(files() / "file");
    ASSERT_FALSE(before);
    c.change(files(), sentinel());
    const std::string existing = readFile(files() / "file");
    const auto items = listed();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(qelda::restoreFromQuarantine(items[0].id, options_), c.error);
    EXPECT_EQ(readFile(files() / "file"), existing);
    EXPECT_EQ(readFile(sentinel() / "file"), "sentinel");
    EXPECT_EQ(listed().size(), 1u) << "the entry stays in the quarantine";
    EXPECT_EQ(quarantineFiles().size(), 2u);
  }
}

TEST_F(QeldaCleaner, RestoreTakesOnlyValidIdsAndSoundEntries) {
  fs::create_directories(quarantine());
  fs::permissions(quarantine(), fs::perms::owner_all);
  writeFile(quarantine() / "damaged.qrec", "qelda-quarantine 1\npath=/x\n");
  writeFile(quarantine() / "damaged.qdata", "x");
  fs::create_symlink(sentinel() / "file", quarantine() / "linked.qrec");
  const struct {
    std::string id;
    int error;
  } cases[] = {{"", EINVAL},           {"..", EINVAL},         {".", EINVAL},
               {"../machine", EINVAL}, {"a/b", EINVAL},        {"x.qrec", EINVAL},
               {"missing", ENOENT},    {"damaged", EBADMSG},   {"linked", ELOOP},
               {std::string(65, 'a'), EINVAL}};
  for (const auto& c : cases) EXPECT_EQ(qelda::restoreFromQuarantine(c.id, options_), c.error) << c.id;
  std::vector<qelda::QuarantinedItem> items;
  std::size_t damaged = 0;
  EXPECT_EQ(qelda::listQuarantine(items, options_, &damaged), 0);
  EXPECT_TRUE(items.empty());
  EXPECT_EQ(damaged, 2u);
  EXPECT_EQ(readFile(sentinel() / "file"), "sentinel");
}

struct FolderCase {
  const char* name;
  std::function<void(const fs::path& machine, const fs::path& sentinel)> arrange;
  int error;
  bool needsRoot;
};

const FolderCase kFolders[] = {
    {"VexoraIsALink",
     [](const fs::path& machine, const fs::path& sentinel) { fs::create_symlink(sentinel, machine / "Vexora"); },
     ELOOP, false},
    {"QuarantineIsALink",
     [](const fs::path& machine, const fs::path& sentinel) {
       fs::create_directory(machine / "Vexora");
       fs::create_symlink(sentinel, machine / "Vexora" / "Quarantine");
     },
     ELOOP, false},
    {"QuarantineIsAFile",
     [](const fs::path& machine, const fs::path&) {
       fs::create_directory(machine / "Vexora");
       writeFile(machine / "Vexora" / "Quarantine", "");
     },
     ENOTDIR, false},
    {"QuarantineWritableByOthers",
     [](const fs::path& machine, const fs::path&) {
       fs::create_directories(machine / "Vexora" / "Quarantine");
       fs::permissions(machine / "Vexora" / "Quarantine", fs::perms::all);
     },
     EPERM, false},
    {"VexoraOwnedByAnother",
     [](const fs::path& machine, const fs::path&) {
       fs::create_directories(machine / "Vexora");
       EXPECT_EQ(::chown((machine / "Vexora").c_str(), 4321, 4321), 0);
     },
     EPERM, true},
    {"MachineWritableByOthers",
     [](const fs::path& machine, const fs::path&) { fs::permissions(machine, fs::perms::all); }, EPERM, false},
};

TEST_F(QeldaCleaner, UnsafeQuarantineFoldersAreRefused) {
  for (const FolderCase& c : kFolders) {
    if (c.needsRoot && ::geteuid() != 0) continue;
    SCOPED_TRACE(c.name);
    const fs::path machine = folder_.path() / c.name;
    fs::create_directories(machine);
    c.arrange(machine, sentinel());
    qelda::QuarantineOptions options = options_;
    options.machineFolder = machine.string();
    const fs::path path = files() / "file";
    writeFile(path, "content");
    qelda::ScannedFile file;
    qelda::QuarantineEntry entry;
    scan(path, file, entry);
    EXPECT_EQ(qelda::quarantineScannedFile(file, entry, {}, options), c.error);
    EXPECT_EQ(readFile(path), "content");
    EXPECT_TRUE(fs::is_empty(sentinel() / "..") || fs::exists(sentinel() / "file"));
    std::vector<std::string> inSentinel;
    for (const auto& e : fs::directory_iterator(sentinel())) inSentinel.push_back(e.path().filename());
    EXPECT_EQ(inSentinel, std::vector<std::string>{"file"});
  }
}

}  // namespace
