#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxFileUtil.h"
#include "foundation/VxLog.h"
#include "tests/foundation/FileTestFolder.h"
#include "tests/support/CaptureLog.h"

namespace {

using namespace std::string_literals;
using vxtest::FileTestFolder;

constexpr wchar_t kOpenFailed[] = L"CVxFileUtil::Read - File is bad or Failed to open ";

// ---------------------------------------------------------------------------
// Outcomes of Read by what the path names

struct ReadCase {
  const char* name;
  // Prepares the entry and returns the path to read.
  std::function<std::wstring(const FileTestFolder&)> prepare;
  std::uint32_t error;
  std::string content;  // when error is 0
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class FileUtilReadTest : public ::testing::TestWithParam<ReadCase> {
 protected:
  FileTestFolder folder_;
};

TEST_P(FileUtilReadTest, GivesTheCodeAndBytesOfEachKindOfPath) {
  const ReadCase& c = GetParam();
  const std::wstring path = c.prepare(folder_);
  vxtest::LogCapture capture;

  auto previous = std::make_shared<std::uint8_t[]>(3);
  previous[0] = 'o';
  CVxFileUtil::Buffer buffer = previous;
  std::uint32_t size = 77;
  EXPECT_EQ(CVxFileUtil::Read(path, buffer, size), c.error);

  if (c.error != 0) {
    EXPECT_EQ(buffer, previous) << "a failed read must leave the caller's buffer alone";
    EXPECT_EQ(size, 77u);
    if (c.error == ERROR_FILE_NOT_FOUND) {
      EXPECT_TRUE(capture->contains(kOpenFailed, VX_LOG_ERROR));
      EXPECT_EQ(capture->find(kOpenFailed).file, L"VxFileUtil");
      EXPECT_EQ(capture->find(kOpenFailed).function, L"CVxFileUtil::Read");
    }
    return;
  }
  ASSERT_NE(buffer, nullptr);
  EXPECT_NE(buffer, previous);
  EXPECT_EQ(previous[0], 'o') << "the array other holders share must be left intact";
  ASSERT_EQ(size, c.content.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.get()), size), c.content);
  EXPECT_EQ(buffer[size], 0) << "the buffer must end in a zero byte";
  EXPECT_TRUE(capture->contains(L"CVxFileUtil::Read - FileSize:" + std::to_wstring(size),
                                VX_LOG_NORMAL));
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FileUtilReadTest,
    ::testing::Values(
        ReadCase{"EmptyPath", [](const FileTestFolder&) { return std::wstring(); },
                 ERROR_INVALID_PARAMETER, ""},
        ReadCase{"MissingFile", [](const FileTestFolder& f) { return f.wide("missing.xml"); },
                 ERROR_FILE_NOT_FOUND, ""},
        ReadCase{"MissingFolderOnTheWay",
                 [](const FileTestFolder& f) { return f.wide("no/such/report.xml"); },
                 ERROR_FILE_NOT_FOUND, ""},
        ReadCase{"Folder",
                 [](const FileTestFolder& f) { return FileTestFolder::toWide(f.makeFolder("d")); },
                 ERROR_FILE_NOT_FOUND, ""},
        ReadCase{"PipeDoesNotBlock",
                 [](const FileTestFolder& f) {
                   ::mkfifo(f.path("pipe").c_str(), 0600);
                   return f.wide("pipe");
                 },
                 ERROR_FILE_NOT_FOUND, ""},
        ReadCase{"NulInsideThePathNamesNoOtherFile",
                 [](const FileTestFolder& f) {
                   f.writeFile("a", "short name");
                   return f.wide("a") + L'\0' + L"b";
                 },
                 ERROR_FILE_NOT_FOUND, ""},
        ReadCase{"EmptyFile",
                 [](const FileTestFolder& f) {
                   return FileTestFolder::toWide(f.writeFile("empty", ""));
                 },
                 0, ""},
        ReadCase{"BytesWithNulAndLineEndsUntranslated",
                 [](const FileTestFolder& f) {
                   return FileTestFolder::toWide(f.writeFile("r.bin", "a\0b\r\nc\xff\n"s));
                 },
                 0, "a\0b\r\nc\xff\n"s},
        ReadCase{"LinkToAFile",
                 [](const FileTestFolder& f) {
                   f.writeFile("target", "<report/>");
                   std::filesystem::create_symlink(f.path("target"), f.path("link"));
                   return f.wide("link");
                 },
                 0, "<report/>"},
        ReadCase{"NameThatIsNotUtf8",
                 [](const FileTestFolder& f) {
                   return FileTestFolder::toWide(f.writeFile("n\xe9.xml", "latin"));
                 },
                 0, "latin"}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST(FileUtilRead, LargerFileIsReadWhole) {
  FileTestFolder folder;
  std::string bytes(1 << 20, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  const std::wstring path = FileTestFolder::toWide(folder.writeFile("big", bytes));

  CVxFileUtil::Buffer buffer;
  std::uint32_t size = 0;
  ASSERT_EQ(CVxFileUtil::Read(path, buffer, size), 0u);
  ASSERT_EQ(size, bytes.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.get()), size), bytes);
  EXPECT_EQ(buffer[size], 0);
}

TEST(FileUtilRead, FileOf4GiBOrMoreIsRefusedRatherThanCut) {
  FileTestFolder folder;
  const std::filesystem::path file = folder.writeFile("huge", "");
  // Sparse: 4 GiB + 16 bytes cost no disk space. A 32-bit size would read 16 bytes.
  std::filesystem::resize_file(file, (std::uint64_t{1} << 32) + 16);
  vxtest::LogCapture capture;

  CVxFileUtil::Buffer buffer;
  std::uint32_t size = 5;
  EXPECT_EQ(CVxFileUtil::Read(FileTestFolder::toWide(file), buffer, size), ERROR_FILE_TOO_LARGE);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(size, 5u);
  EXPECT_TRUE(capture->contains(L"CVxFileUtil::Read - File is too large, FileSize:4294967312",
                                VX_LOG_ERROR));
}

}  // namespace
