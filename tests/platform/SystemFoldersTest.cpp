// Which folders a tree deletion must leave alone, and the path form they are
// compared in. Pure look-ups: nothing here deletes anything.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/FileSystem.h"
#include "platform/LexicalPath.h"
#include "platform/SystemFolders.h"

namespace {

TEST(LexicalPathTest, NormalFormOfTheText) {
  struct Case {
    const char* path;
    const char* normal;
  };
  const Case cases[] = {
      {"/", "/"},
      {"//", "/"},
      {"/usr/", "/usr"},
      {"//usr//share//", "/usr/share"},
      {"/usr/./share/.", "/usr/share"},
      {"/usr/share/..", "/usr"},
      {"/usr/share/../..", "/"},
      {"/../../usr", "/usr"},
      {"/a/b/../../c/", "/c"},
      {"/a/..b/.c/...", "/a/..b/.c/..."},
      {"relative/..", "relative/.."},
  };
  for (const Case& c : cases) EXPECT_EQ(platform::lexicallyNormalPath(c.path), c.normal) << c.path;
}

TEST(SystemFoldersTest, ProtectedUnderEveryWritingOfTheirName) {
  const char* protectedPaths[] = {
      "/",         "/usr",        "/usr/",           "//usr",         "/usr/.",
      "/usr/share/..", "/etc",    "/home",           "/home/alice",   "/home/alice/",
      "/var",      "/var/lib",    "/var/lib/../lib", "/var/tmp",      "/var/log",
      "/bin",      "/boot",       "/dev",            "/lib",          "/lib64",
      "/opt",      "/proc",       "/root",           "/run",          "/sbin",
      "/srv",      "/sys",        "/tmp",            "/tmp/x/..",     "/usr/local",
      "/usr/lib",  "/media",      "/mnt",
  };
  for (const char* path : protectedPaths) EXPECT_TRUE(platform::isSystemFolder(path)) << path;

  const char* ordinaryPaths[] = {
      "/tmp/session1", "/home/alice/work", "/var/lib/vexora-scratch", "/opt/vendor/cache",
      "/usr/share/doc/pkg", "/srv/data/old", "/homework", "/varx",
  };
  for (const char* path : ordinaryPaths) EXPECT_FALSE(platform::isSystemFolder(path)) << path;
}

TEST(SystemFoldersTest, TemporaryAndMachineFoldersFollowTheEnvironment) {
  const std::string scratch = std::filesystem::temp_directory_path() / "vx-system-folders";
  ::setenv("VX_MACHINE_DIR", (scratch + "/machine/").c_str(), 1);
  ::setenv("TMPDIR", (scratch + "/temp").c_str(), 1);
  EXPECT_TRUE(platform::isSystemFolder(scratch + "/machine"));
  EXPECT_TRUE(platform::isSystemFolder(scratch + "/temp/"));
  EXPECT_FALSE(platform::isSystemFolder(scratch + "/temp/session"));
  EXPECT_FALSE(platform::isSystemFolder(scratch));
  ::unsetenv("VX_MACHINE_DIR");
  ::unsetenv("TMPDIR");
}

TEST(SystemFoldersTest, OpenFolderIsKnownUnderAnotherName) {
  namespace fs = std::filesystem;
  platform::OpenFolder usr;
  ASSERT_EQ(usr.open("/usr"), 0u);
  EXPECT_TRUE(platform::isSystemFolder(usr));

  const fs::path scratch = fs::temp_directory_path() / "vx-system-folders-open";
  fs::remove_all(scratch);
  fs::create_directories(scratch / "plain");
  fs::create_directory_symlink("/usr", scratch / "link");
  platform::OpenFolder throughLink;
  ASSERT_EQ(throughLink.open((scratch / "link/.").string()), 0u);
  EXPECT_TRUE(platform::isSystemFolder(throughLink));
  platform::OpenFolder plain;
  ASSERT_EQ(plain.open((scratch / "plain").string()), 0u);
  EXPECT_FALSE(platform::isSystemFolder(plain));
  fs::remove_all(scratch);
}

}  // namespace
