// The rule for files the component trusts as root, each case starting from what
// another user could do to the file or a folder above it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "platform/TrustedFile.h"

namespace {

namespace fs = std::filesystem;
using platform::TrustFault;

constexpr uid_t kNobody = 65534;

class TrustedFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A private folder under the temporary folder (sticky, writable by all): the
    // rule lets it pass because the folder below it is ours.
    std::string pattern = (fs::temp_directory_path() / "vxtrust.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    fs::create_directories(root_ / "etc");
    std::ofstream(root_ / "etc" / "settings.ini") << "[a]\nb=1\n";
    ::chmod((root_ / "etc").c_str(), 0755);
    ::chmod((root_ / "etc" / "settings.ini").c_str(), 0644);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
  }

  platform::TrustCheck open(const fs::path& path, int flags = O_RDONLY) {
    platform::UniqueFileDescriptor fd;
    auto check = platform::openTrustedFile(path.string(), flags, 0600, fd);
    EXPECT_EQ(fd.valid(), check.ok()) << check.describe();
    return check;
  }

  fs::path root_;
};

TEST_F(TrustedFileTest, OwnFileInOwnFoldersBelowAStickyFolderIsTrusted) {
  EXPECT_TRUE(open(root_ / "etc" / "settings.ini").ok());
  // Others may write to a sticky folder, but not rename or remove our file in it.
  ::chmod((root_ / "etc").c_str(), 01777);
  EXPECT_TRUE(open(root_ / "etc" / "settings.ini").ok());
  ::chmod((root_ / "etc").c_str(), 0755);
  platform::UniqueFileDescriptor folder;
  EXPECT_TRUE(platform::openTrustedFolder((root_ / "etc").string(), folder).ok());
  EXPECT_TRUE(folder.valid());
  // Created by the opener, owner-only, under the same rule.
  EXPECT_TRUE(open(root_ / "etc" / "new.lock", O_RDWR | O_CREAT).ok());
  EXPECT_EQ(fs::status(root_ / "etc" / "new.lock").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

// What another user could have done, and what the refusal names.
TEST_F(TrustedFileTest, RefusesWhatAnotherUserCouldHaveChanged) {
  const fs::path file = root_ / "etc" / "settings.ini";
  const fs::path folder = root_ / "etc";
  struct Case {
    const char* what;
    std::function<void()> spoil;
    TrustFault fault;
    fs::path offender;
    bool needsRoot;
  } const cases[] = {
      {"file writable by others", [&] { ::chmod(file.c_str(), 0646); }, TrustFault::WritableByOthers, file, false},
      {"file writable by its group", [&] { ::chmod(file.c_str(), 0664); }, TrustFault::WritableByOthers, file, false},
      {"folder writable by others", [&] { ::chmod(folder.c_str(), 0777); }, TrustFault::WritableByOthers, folder,
       false},
      {"file of another user", [&] { ASSERT_EQ(::chown(file.c_str(), kNobody, kNobody), 0); },
       TrustFault::OwnedByAnother, file, true},
      {"folder of another user", [&] { ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0); },
       TrustFault::OwnedByAnother, folder, true},
      {"the file a link",
       [&] {
         fs::rename(file, root_ / "real.ini");
         fs::create_symlink(root_ / "real.ini", file);
       },
       TrustFault::Link, file, false},
      {"a middle folder a link",
       [&] {
         fs::rename(folder, root_ / "elsewhere");
         fs::create_directory_symlink(root_ / "elsewhere", folder);
       },
       TrustFault::Link, folder, false},
      {"a FIFO in the file's place",
       [&] {
         fs::remove(file);
         ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
       },
       TrustFault::WrongType, file, false},
      {"missing", [&] { fs::remove(file); }, TrustFault::Missing, file, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && ::geteuid() != 0) continue;
    // Each case starts from the sound state.
    std::error_code ignored;
    fs::remove(folder, ignored);
    fs::remove_all(root_ / "elsewhere", ignored);
    fs::remove(root_ / "real.ini", ignored);
    fs::remove_all(folder, ignored);
    fs::create_directories(folder);
    ::chmod(folder.c_str(), 0755);
    std::ofstream(file) << "[a]\nb=1\n";
    ::chmod(file.c_str(), 0644);
    ASSERT_TRUE(open(file).ok());

    c.spoil();
    const auto check = open(file);
    EXPECT_EQ(check.fault, c.fault) << check.describe();
    EXPECT_EQ(check.offender, c.offender.string());
    EXPECT_EQ(check.windowsError(), c.fault == TrustFault::Missing ? 2u : 5u);
  }
}

TEST_F(TrustedFileTest, DescribesTheRefusalInWords) {
  ::chmod((root_ / "etc" / "settings.ini").c_str(), 0666);
  EXPECT_EQ(open(root_ / "etc" / "settings.ini").describe(),
            (root_ / "etc" / "settings.ini").string() + ": writable by others");
  platform::UniqueFileDescriptor fd;
  EXPECT_EQ(platform::openTrustedFile("relative/path", O_RDONLY, 0, fd).fault, TrustFault::Failed);
  EXPECT_EQ(platform::openTrustedFile((root_ / ".." / "x").string(), O_RDONLY, 0, fd).fault, TrustFault::Failed);
}

}  // namespace

namespace {

// Root must not make a file in a folder another user can write, even when the
// open is then refused: the refusal comes before the open.
TEST_F(TrustedFileTest, NothingIsMadeInAFolderOthersCanWrite) {
  const fs::path folder = root_ / "etc";
  ::chmod(folder.c_str(), 0777);
  platform::UniqueFileDescriptor fd;
  const auto check = platform::openTrustedFile((folder / "made.lock").string(), O_RDWR | O_CREAT, 0600, fd);
  EXPECT_EQ(check.fault, TrustFault::WritableByOthers);
  EXPECT_FALSE(fs::exists(folder / "made.lock"));
}

}  // namespace
