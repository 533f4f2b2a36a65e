// Opening files for scanning: no symbolic link in any component, no read-open of
// anything but a regular file, and the checks that tell a file changed since.
#include "qelda/QeldaNoFollowPath.h"
#include "qelda/QeldaScannedFile.h"
#include "tests/qelda/QeldaTestFolder.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

namespace {

namespace fs = std::filesystem;
using qeldatest::readFile;
using qeldatest::TestFolder;
using qeldatest::writeFile;

// root/sentinel/file is what a link would reach; root/real/sub/file is the file.
class LinkLayout {
 public:
  explicit LinkLayout(const fs::path& root) : root_(root) {
    fs::create_directories(sentinel());
    fs::create_directories(root_ / "real" / "sub");
    writeFile(sentinel() / "file", "sentinel");
    writeFile(root_ / "real" / "sub" / "file", "real");
    ::stat((sentinel() / "file").c_str(), &sentinelBefore_);
  }
  fs::path sentinel() const { return root_ / "sentinel"; }
  fs::path real() const { return root_ / "real"; }
  bool sentinelUntouched() const {
    struct stat now {};
    return readFile(sentinel() / "file") == "sentinel" && ::stat((sentinel() / "file").c_str(), &now) == 0 &&
           now.st_mtim.tv_nsec == sentinelBefore_.st_mtim.tv_nsec && now.st_ino == sentinelBefore_.st_ino;
  }

 private:
  fs::path root_;
  struct stat sentinelBefore_ {};
};

struct LinkCase {
  const char* name;
  // Makes the link and returns the path that must be refused.
  std::function<fs::path(const LinkLayout&)> arrange;
};

const LinkCase kLinkCases[] = {
    {"LastComponent",
     [](const LinkLayout& l) {
       fs::create_symlink(l.sentinel() / "file", l.real() / "sub" / "link");
       return l.real() / "sub" / "link";
     }},
    {"MiddleComponent",
     [](const LinkLayout& l) {
       fs::create_symlink(l.sentinel(), l.real() / "middle");
       return l.real() / "middle" / "file";
     }},
    {"ParentSwappedForLink",
     [](const LinkLayout& l) {
       fs::rename(l.real() / "sub", l.real() / "sub.old");
       fs::create_symlink(l.sentinel(), l.real() / "sub");
       return l.real() / "sub" / "file";
     }},
    {"RelativeLinkToParent",
     [](const LinkLayout& l) {
       fs::create_symlink("../sentinel", l.real() / "up");
       return l.real() / "up" / "file";
     }},
};

TEST(QeldaScannedFile, SymbolicLinkInAnyComponentIsRefused) {
  using Resolver = int (*)(const std::string&, qelda::Fd&);
  const std::pair<const char*, Resolver> resolvers[] = {{"openat2", qelda::openFolderNoFollow},
                                                        {"walk", qelda::walkFolderNoFollow}};
  for (const LinkCase& c : kLinkCases) {
    SCOPED_TRACE(c.name);
    TestFolder folder;
    const LinkLayout layout(folder.path());
    const fs::path path = c.arrange(layout);
    qelda::ScannedFile file;
    EXPECT_EQ(qelda::openScannedFile(path.string(), file), ELOOP);
    EXPECT_FALSE(file.file.valid());
    for (const auto& [name, resolve] : resolvers) {
      qelda::Fd parent;
      // The folder part alone must be refused too, unless the link is the last component.
      const int expected = std::string(c.name) == "LastComponent" ? 0 : ELOOP;
      EXPECT_EQ(resolve(path.parent_path().string(), parent), expected) << name;
      EXPECT_EQ(resolve(path.string(), parent), ELOOP) << name;
    }
    EXPECT_TRUE(layout.sentinelUntouched());
  }
}

TEST(QeldaScannedFile, BothResolversReachTheSameFolder) {
  TestFolder folder;
  fs::create_directories(folder.path() / "a" / "b");
  for (const std::string& path : {(folder.path() / "a" / "b").string(), (folder.path() / "a" / "b" / "").string(),
                                 (folder.path() / "a" / "." / "b").string(), std::string("/")}) {
    qelda::Fd byOpenat2;
    qelda::Fd byWalk;
    ASSERT_EQ(qelda::openFolderNoFollow(path, byOpenat2), 0) << path;
    ASSERT_EQ(qelda::walkFolderNoFollow(path, byWalk), 0) << path;
    struct stat a {};
    struct stat b {};
    ASSERT_EQ(::fstat(byOpenat2.get(), &a), 0);
    ASSERT_EQ(::fstat(byWalk.get(), &b), 0);
    EXPECT_EQ(a.st_ino, b.st_ino) << path;
  }
}

// A FIFO opened for reading would block until a writer came; the refusal must
// come from the type check on the O_PATH descriptor, before any read-open, so
// this test cannot hang.
TEST(QeldaScannedFile, NonRegularEntriesAreRefusedBeforeOpening) {
  TestFolder folder;
  const fs::path root = folder.path();
  ASSERT_EQ(::mkfifo((root / "fifo").c_str(), 0600), 0);
  fs::create_directory(root / "folder");
  writeFile(root / "plain", "x");
  const struct {
    std::string path;
    int error;
  } cases[] = {
      {(root / "fifo").string(), ENXIO},
      {"/dev/null", ENXIO},
      {(root / "folder").string(), EISDIR},
      {(root / "folder").string() + "/", EISDIR},
      {(root / "folder" / "..").string(), EISDIR},
      {"/", EISDIR},
      {(root / "plain" / "below").string(), ENOTDIR},
      {(root / "missing").string(), ENOENT},
      {"relative/file", EINVAL},
      {"", EINVAL},
      {std::string("/tmp/with\0nul", 13), EINVAL},
  };
  for (const auto& c : cases) {
    qelda::ScannedFile file;
    EXPECT_EQ(qelda::openScannedFile(c.path, file), c.error) << c.path;
    EXPECT_FALSE(file.file.valid()) << c.path;
  }
}

TEST(QeldaScannedFile, HoldsTheFileAndItsFolder) {
  TestFolder folder;
  const fs::path path = folder.path() / "name with\nnewline";
  writeFile(path, "content");
  qelda::ScannedFile file;
  ASSERT_EQ(qelda::openScannedFile(path.string(), file), 0);
  EXPECT_EQ(file.path, path.string());
  EXPECT_EQ(file.name, "name with\nnewline");
  EXPECT_TRUE(S_ISREG(file.opened.st_mode));
  EXPECT_EQ(file.opened.st_size, 7);
  struct stat held {};
  struct stat real {};
  ASSERT_EQ(::fstat(file.parent.get(), &held), 0);
  ASSERT_EQ(::stat(folder.path().c_str(), &real), 0);
  EXPECT_EQ(held.st_ino, real.st_ino);
  char buffer[16] = {};
  EXPECT_EQ(::pread(file.file.get(), buffer, sizeof buffer, 0), 7);
  EXPECT_EQ(std::string(buffer), "content");
  EXPECT_EQ(::fcntl(file.file.get(), F_GETFL) & O_ACCMODE, O_RDONLY);
  EXPECT_TRUE(qelda::unchangedSinceOpen(file));
  EXPECT_EQ(qelda::checkStillInPlace(file), 0);
}

struct ChangeCase {
  const char* name;
  std::function<void(const fs::path&)> change;
};

const ChangeCase kChanges[] = {
    {"Grew", [](const fs::path& p) { std::ofstream(p, std::ios::app) << "more"; }},
    {"Shrank", [](const fs::path& p) { fs::resize_file(p, 2); }},
    {"RenamedOver",
     [](const fs::path& p) {
       writeFile(p.string() + ".new", "content");
       fs::rename(p.string() + ".new", p);
     }},
    {"Unlinked", [](const fs::path& p) { fs::remove(p); }},
    {"HardLinked", [](const fs::path& p) { fs::create_hard_link(p, p.string() + ".link"); }},
};

TEST(QeldaScannedFile, ChangesAfterOpenAreSeen) {
  for (const ChangeCase& c : kChanges) {
    TestFolder folder;
    const fs::path path = folder.path() / "file";
    writeFile(path, "content");
    qelda::ScannedFile file;
    ASSERT_EQ(qelda::openScannedFile(path.string(), file), 0);
    c.change(path);
    EXPECT_FALSE(qelda::unchangedSinceOpen(file)) << c.name;
    EXPECT_EQ(qelda::checkStillInPlace(file), ESTALE) << c.name;
    std::array<std::uint8_t, 32> digest{};
    EXPECT_EQ(qelda::digestScannedFile(file, {}, digest), ESTALE) << c.name;
  }
}

// Locating reads nothing; the content is opened later only if the name still
// leads to the inode that was looked at, through a folder reached without links.
TEST(QeldaScannedFile, LocatedFileOpensOnlyWhereItsNameStillLeads) {
  const ChangeCase swapFolder{"FolderSwappedForLink", [](const fs::path& p) {
                                const fs::path sub = p.parent_path();
                                fs::rename(sub, sub.string() + ".old");
                                fs::create_directory(sub.string() + ".elsewhere");
                                writeFile(sub.string() + ".elsewhere/file", "content");
                                fs::create_symlink(sub.string() + ".elsewhere", sub);
                              }};
  const struct {
    const ChangeCase& change;
    int expected;
  } cases[] = {{kChanges[2], ESTALE}, {kChanges[3], ESTALE}, {swapFolder, ELOOP}};
  for (const auto& c : cases) {
    TestFolder folder;
    const fs::path path = folder.path() / "sub" / "file";
    fs::create_directory(path.parent_path());
    writeFile(path, "content");
    qelda::ScannedFile file;
    ASSERT_EQ(qelda::locateScannedFile(path.string(), file), 0) << c.change.name;
    EXPECT_FALSE(file.file.valid());
    EXPECT_EQ(file.located.st_size, 7);
    c.change.change(path);
    EXPECT_EQ(qelda::openLocatedFile(file), c.expected) << c.change.name;
    EXPECT_FALSE(file.file.valid()) << c.change.name;
  }
  TestFolder folder;
  writeFile(folder.path() / "file", "content");
  qelda::ScannedFile file;
  ASSERT_EQ(qelda::locateScannedFile((folder.path() / "file").string(), file), 0);
  ASSERT_EQ(qelda::openLocatedFile(file), 0);
  EXPECT_EQ(file.opened.st_ino, file.located.st_ino);
  EXPECT_EQ(qelda::checkStillInPlace(file), 0);
}

std::array<std::uint8_t, 32> sha256Of(const std::string& bytes) {
  std::array<std::uint8_t, 32> digest{};
  unsigned size = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr);
  return digest;
}

TEST(QeldaScannedFile, DigestCoversExactlyTheOpenedBytes) {
  TestFolder folder;
  std::string content(3u << 20, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 4096);
  const struct {
    const char* name;
    std::string bytes;
  } cases[] = {{"Empty", ""}, {"Small", "abc"}, {"SeveralChunks", content}};
  for (const auto& c : cases) {
    const fs::path path = folder.path() / c.name;
    writeFile(path, c.bytes);
    qelda::ScannedFile file;
    ASSERT_EQ(qelda::openScannedFile(path.string(), file), 0);
    std::array<std::uint8_t, 32> digest{};
    int asked = 0;
    ASSERT_EQ(qelda::digestScannedFile(file, [&] { return ++asked > 0; }, digest), 0) << c.name;
    EXPECT_EQ(digest, sha256Of(c.bytes)) << c.name;
  }
}

TEST(QeldaScannedFile, DigestStopsWhenAskedTo) {
  TestFolder folder;
  const fs::path path = folder.path() / "file";
  writeFile(path, std::string(3u << 20, 'a'));
  qelda::ScannedFile file;
  ASSERT_EQ(qelda::openScannedFile(path.string(), file), 0);
  std::array<std::uint8_t, 32> digest{};
  int asked = 0;
  EXPECT_EQ(qelda::digestScannedFile(file, [&] { return ++asked < 2; }, digest), ECANCELED);
  EXPECT_EQ(asked, 2);
}

}  // namespace
