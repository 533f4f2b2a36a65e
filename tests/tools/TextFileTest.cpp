// Writing a whole file: replaced only when complete, never through a link.
#include "tools/ovrascan/TextFile.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string readBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

class TextFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "textfile-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  // Only the named entries are in the folder: no temporary file is left.
  void expectOnly(std::size_t count) const {
    EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(folder_), fs::directory_iterator())),
              count);
  }

  fs::path folder_;
};

TEST_F(TextFileTest, WriteCreatesAndReplaces) {
  const fs::path file = folder_ / "report.xml";
  EXPECT_EQ(TextFile::checkWritable(file.string()), "");
  ASSERT_EQ(TextFile::write(file.string(), "first"), "");
  EXPECT_EQ(readBytes(file), "first");
  ASSERT_EQ(TextFile::write(file.string(), "second, longer"), "");
  EXPECT_EQ(readBytes(file), "second, longer");
  expectOnly(1);
}

TEST_F(TextFileTest, LinkInTheLastComponentIsReplacedNotWrittenThrough) {
  const fs::path target = folder_ / "target";
  { std::ofstream(target) << "keep"; }
  fs::create_symlink(target, folder_ / "report.xml");
  ASSERT_EQ(TextFile::write((folder_ / "report.xml").string(), "new"), "");
  EXPECT_EQ(readBytes(target), "keep");
  EXPECT_FALSE(fs::is_symlink(folder_ / "report.xml"));
  EXPECT_EQ(readBytes(folder_ / "report.xml"), "new");
}

TEST_F(TextFileTest, LinkedFolderIsNotFollowed) {
  fs::create_directory(folder_ / "real");
  fs::create_directory_symlink(folder_ / "real", folder_ / "linked");
  const std::string path = (folder_ / "linked" / "report.xml").string();
  const std::string expected = "cannot write " + path + ": " + (folder_ / "linked").string() + " is a symbolic link (not followed)";
  EXPECT_EQ(TextFile::checkWritable(path), expected);
  EXPECT_EQ(TextFile::write(path, "x"), expected);
  EXPECT_TRUE(fs::is_empty(folder_ / "real"));
}

TEST_F(TextFileTest, FailedWriteKeepsTheOldFileAndLeavesNoTemporaryFile) {
  // A folder in the file's place cannot be replaced by a file.
  fs::create_directory(folder_ / "report.xml");
  const std::string path = (folder_ / "report.xml").string();
  EXPECT_EQ(TextFile::checkWritable(path), "cannot write " + path + ": Is a directory");
  EXPECT_NE(TextFile::write(path, "new"), "");
  EXPECT_TRUE(fs::is_directory(path));
  expectOnly(1);
}

TEST_F(TextFileTest, RelativeNamesAndDotComponentsWork) {
  const fs::path previous = fs::current_path();
  fs::create_directory(folder_ / "sub");
  fs::current_path(folder_);
  EXPECT_EQ(TextFile::write("plain.txt", "a"), "");
  EXPECT_EQ(TextFile::write("./sub/../sub//nested.txt", "b"), "");
  fs::current_path(previous);
  EXPECT_EQ(readBytes(folder_ / "plain.txt"), "a");
  EXPECT_EQ(readBytes(folder_ / "sub" / "nested.txt"), "b");
}

}  // namespace
