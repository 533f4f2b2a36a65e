#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxFileUtil.h"
#include "foundation/VxNATypeConversion.h"
#include "platform/FileSystem.h"
#include "tests/foundation/FileTestFolder.h"

namespace {

namespace fs = std::filesystem;
using vxtest::FileTestFolder;

std::string readAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A path of `levels` folders of 50 characters each below `base`.
fs::path deepPath(const fs::path& base, int levels) {
  fs::path path = base;
  for (int i = 0; i < levels; ++i) path /= std::string(49, static_cast<char>('a' + i)) + "/";
  return path.parent_path();
}

// ---------------------------------------------------------------------------
// pathExists

struct ExistsCase {
  const char* name;
  std::function<std::wstring(const FileTestFolder&)> prepare;
  bool wantFolder;
  std::uint32_t error;
};

void PrintTo(const ExistsCase& c, std::ostream* os) { *os << c.name; }

class PathExistsTest : public ::testing::TestWithParam<ExistsCase> {
 protected:
  FileTestFolder folder_;
};

TEST_P(PathExistsTest, TellsKindAndAbsence) {
  EXPECT_EQ(pathExists(GetParam().prepare(folder_), GetParam().wantFolder), GetParam().error);
}

std::wstring aFolder(const FileTestFolder& f) { return FileTestFolder::toWide(f.makeFolder("d")); }
std::wstring aFile(const FileTestFolder& f) { return FileTestFolder::toWide(f.writeFile("f")); }

INSTANTIATE_TEST_SUITE_P(
    Kinds, PathExistsTest,
    ::testing::Values(
        ExistsCase{"FolderWanted", aFolder, true, 0},
        ExistsCase{"FolderWhereFileWanted", aFolder, false, ERROR_FILE_NOT_FOUND},
        ExistsCase{"FileWanted", aFile, false, 0},
        ExistsCase{"FileWhereFolderWanted", aFile, true, ERROR_PATH_NOT_FOUND},
        ExistsCase{"MissingInExistingFolder",
                   [](const FileTestFolder& f) { return f.wide("nothing"); }, false,
                   ERROR_FILE_NOT_FOUND},
        ExistsCase{"MissingFolderOnTheWay",
                   [](const FileTestFolder& f) { return f.wide("no/such/thing"); }, true,
                   ERROR_PATH_NOT_FOUND},
        ExistsCase{"EmptyPath", [](const FileTestFolder&) { return std::wstring(); }, true,
                   ERROR_INVALID_PARAMETER},
        ExistsCase{"LinkToFolderCountsAsFolder",
                   [](const FileTestFolder& f) {
                     fs::create_directory_symlink(f.makeFolder("target"), f.path("link"));
                     return f.wide("link");
                   },
                   true, 0},
        ExistsCase{"DanglingLink",
                   [](const FileTestFolder& f) {
                     fs::create_symlink(f.path("gone"), f.path("link"));
                     return f.wide("link");
                   },
                   false, ERROR_FILE_NOT_FOUND}),
    [](const ::testing::TestParamInfo<ExistsCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// createFolderPath

class CreateFolderPathTest : public ::testing::Test {
 protected:
  FileTestFolder folder_;
};

TEST_F(CreateFolderPathTest, CreatesEveryMissingLevel) {
  EXPECT_EQ(createFolderPath(folder_.wide("a/b/c")), 0u);
  EXPECT_TRUE(fs::is_directory(folder_.path("a/b/c")));
}

TEST_F(CreateFolderPathTest, ExistingFolderGives183) {
  folder_.makeFolder("a");
  EXPECT_EQ(createFolderPath(folder_.wide("a")), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(createFolderPath(folder_.wide("a/")), ERROR_ALREADY_EXISTS);
}

TEST_F(CreateFolderPathTest, RelativePathIsMadeUnderTheCurrentFolder) {
  const fs::path before = fs::current_path();
  fs::current_path(folder_.root());
  const std::uint32_t error = createFolderPath(L"x/y/z");
  fs::current_path(before);
  EXPECT_EQ(error, 0u);
  EXPECT_TRUE(fs::is_directory(folder_.path("x/y/z")));
}

TEST_F(CreateFolderPathTest, FileInTheWayIsReplacedByTheFolder) {
  folder_.writeFile("a/b", "in the way");
  EXPECT_EQ(createFolderPath(folder_.wide("a/b/c")), 0u);
  EXPECT_TRUE(fs::is_directory(folder_.path("a/b/c")));
}

TEST_F(CreateFolderPathTest, LinkInTheWayIsRemovedNotItsTarget) {
  const fs::path target = folder_.writeFile("target", "keep");
  fs::create_symlink(target, folder_.path("a"));
  EXPECT_EQ(createFolderPath(folder_.wide("a/b")), 0u);
  EXPECT_TRUE(fs::is_directory(folder_.path("a/b")));
  EXPECT_EQ(readAll(target), "keep");
}

TEST_F(CreateFolderPathTest, PathLongerThan259BytesIsCreatedWhole) {
  const fs::path deep = deepPath(folder_.root(), 8);  // over 400 bytes
  ASSERT_GT(deep.string().size(), 259u);
  EXPECT_EQ(createFolderPath(FileTestFolder::toWide(deep)), 0u);
  EXPECT_TRUE(fs::is_directory(deep));
}

TEST_F(CreateFolderPathTest, RefusesWithoutCuttingOrCreating) {
  struct Case {
    const char* name;
    std::wstring path;
    std::uint32_t error;
  };
  const std::wstring tooLong = folder_.wide(std::string(5000, 'q'));
  const std::wstring nameTooLong = folder_.wide("ok/" + std::string(300, 'n'));
  const Case cases[] = {
      {"Empty", L"", ERROR_INVALID_PARAMETER},
      {"Nul", folder_.wide("p") + L'\0' + L"q", ERROR_INVALID_PARAMETER},
      {"LoneSurrogate", folder_.wide("p") + L'\xD800', ERROR_INVALID_PARAMETER},
      {"LongerThanTheSystemTakes", tooLong, ERROR_FILENAME_EXCED_RANGE},
      {"NameLongerThanTheSystemTakes", nameTooLong, ERROR_CANNOT_MAKE},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(createFolderPath(c.path), c.error) << c.name;
  }
  EXPECT_TRUE(fs::is_empty(folder_.machine()));
  // Only the level below the over-long name may have been made.
  std::vector<std::string> made;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder_.root())) {
    made.push_back(entry.path().filename().string());
  }
  std::sort(made.begin(), made.end());
  EXPECT_EQ(made, (std::vector<std::string>{"machine", "ok"}));
  EXPECT_TRUE(fs::is_empty(folder_.path("ok")));
}

// ---------------------------------------------------------------------------
// deleteFolderTree

class DeleteFolderTreeTest : public ::testing::Test {
 protected:
  std::string pendingList() const {
    return FileTestFolder::exists(folder_.pendingList()) ? readAll(folder_.pendingList()) : "";
  }

  FileTestFolder folder_;
};

TEST_F(DeleteFolderTreeTest, RemovesANestedTree) {
  folder_.writeFile("t/a.txt");
  folder_.writeFile("t/s/b.txt");
  folder_.writeFile("t/s/u/v/c.txt");
  folder_.makeFolder("t/empty");
  EXPECT_EQ(deleteFolderTree(folder_.wide("t"), true), 1u);
  EXPECT_FALSE(FileTestFolder::exists(folder_.path("t")));
  EXPECT_EQ(pendingList(), "");
}

TEST_F(DeleteFolderTreeTest, RemovesATreeDeeperThan259Bytes) {
  const fs::path deep = deepPath(folder_.path("t"), 8);
  fs::create_directories(deep);
  folder_.writeFile((deep / "f").lexically_relative(folder_.root()).string());
  EXPECT_EQ(deleteFolderTree(folder_.wide("t"), true), 1u);
  EXPECT_FALSE(FileTestFolder::exists(folder_.path("t")));
}

TEST_F(DeleteFolderTreeTest, ReadOnlyFolderInsideIsRemoved) {
  folder_.writeFile("t/ro/f");
  fs::permissions(folder_.path("t/ro"), fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(deleteFolderTree(folder_.wide("t"), true), 1u);
  EXPECT_FALSE(FileTestFolder::exists(folder_.path("t")));
}

TEST_F(DeleteFolderTreeTest, WithoutRecursionFilesGoAndTheFolderIsRecorded) {
  folder_.writeFile("t/a.txt");
  folder_.writeFile("t/sub/kept.txt");
  EXPECT_EQ(deleteFolderTree(folder_.wide("t"), false), 1u);
  EXPECT_FALSE(FileTestFolder::exists(folder_.path("t/a.txt")));
  EXPECT_TRUE(FileTestFolder::exists(folder_.path("t/sub/kept.txt")));
  EXPECT_EQ(pendingList(), folder_.path("t").string() + "\n");

  // Still not empty: the entry stays recorded.
  EXPECT_EQ(retryPendingDeletes().value, 1u);
  fs::remove_all(folder_.path("t/sub"));
  const VxNAResult<std::uint32_t> retry = retryPendingDeletes();
  EXPECT_TRUE(retry.ok);
  EXPECT_EQ(retry.value, 0u);
  EXPECT_FALSE(FileTestFolder::exists(folder_.path("t")));
  EXPECT_FALSE(FileTestFolder::exists(folder_.pendingList()));
}

TEST_F(DeleteFolderTreeTest, WithoutRecursionAndNoWayToRecordTheFolderGives0) {
  folder_.writeFile("t/sub/kept.txt");
  // The machine folder is a file: nothing can be recorded under it.
  fs::remove_all(folder_.machine());
  folder_.writeFile("machine", "not a folder");
  EXPECT_EQ(deleteFolderTree(folder_.wide("t"), false), 0u);
  EXPECT_TRUE(FileTestFolder::exists(folder_.path("t/sub/kept.txt")));
}

TEST_F(DeleteFolderTreeTest, LinksInsideAreRemovedAsLinksTheirTargetsSurvive) {
  const fs::path outsideFile = folder_.writeFile("outside/secret.txt", "keep me");
  folder_.writeFile("outside/dir/inner.txt", "keep me too");
  folder_.writeFile("t/plain.txt");
  folder_.makeFolder("t/sub");
  fs::create_symlink(outsideFile, folder_.path("t/file-link"));
  fs::create_directory_symlink(folder_.path("outside/dir"), folder_.path("t/dir-link"));
  fs::create_directory_symlink(folder_.path("outside"), folder_.path("t/sub/up-link"));
  fs::create_symlink(folder_.path("nowhere"), folder_.path("t/dangling"));

  EXPECT_EQ(deleteFolderTree(folder_.wide("t"), true), 1u);
  EXPECT_FALSE(FileTestFolder::exists(folder_.path("t")));
  EXPECT_EQ(readAll(outsideFile), "keep me");
  EXPECT_EQ(readAll(folder_.path("outside/dir/inner.txt")), "keep me too");
}

TEST_F(DeleteFolderTreeTest, FolderThatIsALinkLosesTheLinkOnly) {
  folder_.writeFile("outside/inner.txt", "keep");
  fs::create_directory_symlink(folder_.path("outside"), folder_.path("t"));
  EXPECT_EQ(deleteFolderTree(folder_.wide("t"), true), 1u);
  EXPECT_FALSE(FileTestFolder::exists(folder_.path("t")));
  EXPECT_EQ(readAll(folder_.path("outside/inner.txt")), "keep");
}

TEST_F(DeleteFolderTreeTest, PathsThatNameNoFolderTree) {
  folder_.writeFile("file", "stays");
  struct Case {
    const char* name;
    std::wstring path;
    std::uint32_t result;
  };
  const Case cases[] = {
      {"Missing", folder_.wide("missing"), 1},
      {"RegularFile", folder_.wide("file"), 0},
      {"Empty", L"", 0},
      {"Root", L"/", 0},
      {"ShorterThan4", L"/ab", 0},
      {"Nul", folder_.wide("file") + L'\0' + L"x", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(deleteFolderTree(c.path, true), c.result) << c.name;
  EXPECT_EQ(readAll(folder_.path("file")), "stays");
}

// System folders are refused under any writing of their name; the machine
// folder stands in for them here, so a failure costs only the test's own files.
TEST_F(DeleteFolderTreeTest, SystemFolderIsRefusedUnderAnyName) {
  const fs::path kept = folder_.writeFile("machine/Vexora/registry.db", "keep");
  fs::create_directory_symlink(folder_.root(), folder_.path("up"));
  const std::wstring names[] = {
      FileTestFolder::toWide(folder_.machine()),
      FileTestFolder::toWide(folder_.machine()) + L"/",
      FileTestFolder::toWide(folder_.machine()) + L"/Vexora/..",
      folder_.wide("t/../machine/."),
      folder_.wide("up/machine"),  // a link on the way: the same folder by identity
  };
  for (const std::wstring& name : names) {
    EXPECT_EQ(deleteFolderTree(name, true), 0u) << VxNATypeConversion::wideBufferToAnsiString(name);
    EXPECT_EQ(readAll(kept), "keep");
  }
}

TEST_F(DeleteFolderTreeTest, DotDotIsTakenOnTheTextNotThroughALink) {
  folder_.writeFile("outside/keep/f", "keep");
  folder_.writeFile("t/f");
  // t/link/.. names t itself, although the link leads elsewhere.
  fs::create_directory_symlink(folder_.path("outside/keep"), folder_.path("t/link"));
  EXPECT_EQ(deleteFolderTree(folder_.wide("t/link/.."), true), 1u);
  EXPECT_FALSE(FileTestFolder::exists(folder_.path("t")));
  EXPECT_EQ(readAll(folder_.path("outside/keep/f")), "keep");
}

TEST(OpenFolderRoot, RootIsRecognisedByIdentity) {
  FileTestFolder folder;
  platform::OpenFolder root;
  ASSERT_EQ(root.open("/"), 0u);
  EXPECT_TRUE(root.isFileSystemRoot());
  platform::OpenFolder viaDotDot;
  ASSERT_EQ(viaDotDot.open(folder.root().string() + "/../../../../../.."), 0u);
  EXPECT_TRUE(viaDotDot.isFileSystemRoot());
  platform::OpenFolder other;
  ASSERT_EQ(other.open(folder.root().string()), 0u);
  EXPECT_FALSE(other.isFileSystemRoot());
}

// ---------------------------------------------------------------------------
// deleteOnReboot and retryPendingDeletes

class PendingDeleteTest : public ::testing::Test {
 protected:
  FileTestFolder folder_;
};

TEST_F(PendingDeleteTest, EmptyPathIsRefused) {
  EXPECT_EQ(deleteOnReboot(L""), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(FileTestFolder::exists(folder_.pendingList()));
}

TEST_F(PendingDeleteTest, NamesWithLineFeedsAndBackslashesSurviveTheList) {
  const fs::path odd = folder_.writeFile("two\nlines\\and\\n.txt");
  const fs::path plain = folder_.writeFile("plain.txt");
  ASSERT_EQ(deleteOnReboot(FileTestFolder::toWide(odd)), 0u);
  ASSERT_EQ(deleteOnReboot(FileTestFolder::toWide(plain)), 0u);

  const std::string list = readAll(folder_.pendingList());
  EXPECT_EQ(list, folder_.path("two\\nlines\\\\and\\\\n.txt").string() + "\n" +
                      plain.string() + "\n");
  EXPECT_TRUE(FileTestFolder::exists(odd)) << "recording must not delete";

  const VxNAResult<std::uint32_t> retry = retryPendingDeletes();
  EXPECT_TRUE(retry.ok);
  EXPECT_EQ(retry.value, 0u);
  EXPECT_FALSE(FileTestFolder::exists(odd));
  EXPECT_FALSE(FileTestFolder::exists(plain));
  EXPECT_FALSE(FileTestFolder::exists(folder_.pendingList()));
}

TEST_F(PendingDeleteTest, RelativePathIsRecordedAbsolute) {
  folder_.writeFile("rel.txt");
  const fs::path before = fs::current_path();
  fs::current_path(folder_.root());
  const std::uint32_t error = deleteOnReboot(L"rel.txt");
  fs::current_path(before);
  ASSERT_EQ(error, 0u);
  EXPECT_EQ(readAll(folder_.pendingList()), folder_.path("rel.txt").string() + "\n");
  EXPECT_EQ(retryPendingDeletes().value, 0u);
  EXPECT_FALSE(FileTestFolder::exists(folder_.path("rel.txt")));
}

TEST_F(PendingDeleteTest, RetryRemovesLinksNotTargetsAndDropsWhatIsGone) {
  const fs::path target = folder_.writeFile("target.txt", "keep");
  fs::create_symlink(target, folder_.path("link"));
  ASSERT_EQ(deleteOnReboot(folder_.wide("link")), 0u);
  ASSERT_EQ(deleteOnReboot(folder_.wide("never-was")), 0u);
  ASSERT_EQ(deleteOnReboot(folder_.wide("link")), 0u);  // recorded twice, removed once

  EXPECT_EQ(retryPendingDeletes().value, 0u);
  EXPECT_FALSE(FileTestFolder::exists(folder_.path("link")));
  EXPECT_EQ(readAll(target), "keep");
}

TEST_F(PendingDeleteTest, WithNothingRecordedRetryCreatesNothing) {
  const VxNAResult<std::uint32_t> retry = retryPendingDeletes();
  EXPECT_TRUE(retry.ok);
  EXPECT_EQ(retry.value, 0u);
  EXPECT_FALSE(FileTestFolder::exists(folder_.machine() / "Vexora"));
}

TEST_F(PendingDeleteTest, NextTreeDeletionRetriesEarlierEntries) {
  const fs::path leftover = folder_.writeFile("leftover.txt");
  ASSERT_EQ(deleteOnReboot(FileTestFolder::toWide(leftover)), 0u);
  folder_.writeFile("t/a");
  EXPECT_EQ(deleteFolderTree(folder_.wide("t"), true), 1u);
  EXPECT_FALSE(FileTestFolder::exists(leftover));
  EXPECT_FALSE(FileTestFolder::exists(folder_.pendingList()));
}

// A record cut short (the writer died mid-line) names a shorter path than the
// one recorded, maybe a parent folder: it must never be acted on.
TEST_F(PendingDeleteTest, RecordCutShortIsNeverDeleted) {
  const fs::path whole = folder_.writeFile("whole.txt");
  const fs::path shorter = folder_.writeFile("keep", "keep");
  fs::create_directories(folder_.pendingList().parent_path());
  std::ofstream(folder_.pendingList(), std::ios::binary)
      << whole.string() << "\n" << shorter.string();  // "keep-this-longer-name" cut

  const VxNAResult<std::uint32_t> retry = retryPendingDeletes();
  EXPECT_TRUE(retry.ok);
  EXPECT_EQ(retry.value, 0u);
  EXPECT_FALSE(FileTestFolder::exists(whole));
  EXPECT_EQ(readAll(shorter), "keep");
  EXPECT_FALSE(FileTestFolder::exists(folder_.pendingList()));
}

TEST_F(PendingDeleteTest, RecordAfterOneCutShortStaysWhole) {
  const fs::path shorter = folder_.writeFile("keep", "keep");
  const fs::path next = folder_.writeFile("next.txt");
  fs::create_directories(folder_.pendingList().parent_path());
  std::ofstream(folder_.pendingList(), std::ios::binary) << shorter.string();

  ASSERT_EQ(deleteOnReboot(FileTestFolder::toWide(next)), 0u);
  EXPECT_EQ(readAll(folder_.pendingList()), next.string() + "\n");
  EXPECT_EQ(retryPendingDeletes().value, 0u);
  EXPECT_FALSE(FileTestFolder::exists(next));
  EXPECT_EQ(readAll(shorter), "keep");
}

TEST_F(PendingDeleteTest, ConcurrentRecordsArriveWhole) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kPerThread; ++i) {
        const std::string name = "t" + std::to_string(t) + "_" + std::to_string(i) +
                                 std::string(100, 'p');
        EXPECT_EQ(deleteOnReboot(folder_.wide(name)), 0u);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::istringstream list(readAll(folder_.pendingList()));
  std::vector<std::string> lines;
  for (std::string line; std::getline(list, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kPerThread));
  for (const std::string& line : lines) {
    EXPECT_EQ(line.rfind(folder_.root().string() + "/t", 0), 0u) << line;
    EXPECT_TRUE(line.ends_with(std::string(100, 'p'))) << line;
  }
}

TEST_F(PendingDeleteTest, ConcurrentRecordsAndRetriesLoseNothing) {
  constexpr int kFiles = 60;
  std::vector<fs::path> files;
  for (int i = 0; i < kFiles; ++i) files.push_back(folder_.writeFile("f" + std::to_string(i)));
  std::thread recorder([&] {
    for (const fs::path& file : files) EXPECT_EQ(deleteOnReboot(FileTestFolder::toWide(file)), 0u);
  });
  std::thread retrier([] {
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(retryPendingDeletes().ok);
  });
  recorder.join();
  retrier.join();
  EXPECT_EQ(retryPendingDeletes().value, 0u);
  for (const fs::path& file : files) EXPECT_FALSE(FileTestFolder::exists(file)) << file;
}

}  // namespace
