// What the settings reader refuses to read: anything but a regular file reached
// without a link, and files above its size cap. Each gives the default.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>

#include "platform/PrivateProfile.h"
#include "platform/UniqueFileDescriptor.h"

namespace {

namespace fs = std::filesystem;

class PrivateProfileLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "vxprofile.XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string write(const std::string& name, const std::string& bytes) {
    const fs::path file = root_ / name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file.string();
  }
  static std::wstring read(const std::string& path) {
    std::wstring value;
    platform::readPrivateProfileString(path, L"s", L"k", L"dflt", 1024, value);
    return value;
  }

  fs::path root_;
};

// The key comes first, so a reader that took any part of the file would find it.
std::string settingsOfSize(std::size_t size) {
  std::string bytes = "[s]\nk=found\n";
  while (bytes.size() < size) bytes += std::string(std::min<std::size_t>(size - bytes.size(), 63), ';') + "\n";
  bytes.resize(size, '\n');
  return bytes;
}

TEST_F(PrivateProfileLimitsTest, FileUpToTheCapIsReadAndALargerOneIsNot) {
  EXPECT_EQ(read(write("at-cap.ini", settingsOfSize(platform::kPrivateProfileMaximumSize))), L"found");
  EXPECT_EQ(read(write("above-cap.ini", settingsOfSize(platform::kPrivateProfileMaximumSize + 1))), L"dflt");
}

TEST_F(PrivateProfileLimitsTest, LinkIsNotFollowed) {
  const std::string target = write("real.ini", "[s]\nk=found\n");
  ASSERT_EQ(read(target), L"found");
  fs::create_symlink(target, root_ / "link.ini");
  EXPECT_EQ(read((root_ / "link.ini").string()), L"dflt");
}

TEST_F(PrivateProfileLimitsTest, FolderGivesTheDefault) {
  fs::create_directory(root_ / "folder.ini");
  EXPECT_EQ(read((root_ / "folder.ini").string()), L"dflt");
}

TEST_F(PrivateProfileLimitsTest, PipeWithoutWriterGivesTheDefaultWithoutWaiting) {
  const std::string fifo = (root_ / "fifo.ini").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto reading = std::async(std::launch::async, [&] { return read(fifo); });
  if (reading.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
    // Free the stuck reader before failing: a writer lets its open return.
    platform::UniqueFileDescriptor writer(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));
    writer = platform::UniqueFileDescriptor();
    reading.wait();
    FAIL() << "the reader waited for a writer of the pipe";
  }
  EXPECT_EQ(reading.get(), L"dflt");
}

TEST_F(PrivateProfileLimitsTest, EndlessDeviceGivesTheDefault) {
  EXPECT_EQ(read("/dev/zero"), L"dflt");
}

}  // namespace
