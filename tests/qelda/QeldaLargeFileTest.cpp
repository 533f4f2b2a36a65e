// Files of 4 GiB and more are scanned like any other, block by block, and their
// size is reported whole. The file is sparse: only the marker's page is written.
#include "tests/qelda/QeldaEngineFixture.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <string>
#include <vector>

namespace qeldatest {
namespace {

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;

std::string hexOf(const std::string& bytes) {
  std::string hex;
  char digits[4];
  for (const char c : bytes) {
    std::snprintf(digits, sizeof digits, "%02X ", static_cast<unsigned char>(c));
    hex += digits;
  }
  return hex;
}

class QeldaLargeFile : public QeldaEngine {
 protected:
  // A rule that finds the test file anywhere, not only at its start as the
  // default data set's does; given in hexadecimal so that the rule file itself
  // is no test file.
  void startAnywhereRule() {
    const fs::path data = dir / "data";
    fs::create_directories(data);
    std::ofstream(data / "scan.yar") << "rule Test_File_Anywhere {\n"
                                        "  meta: name = \"Test.EICAR.Anywhere\" virus_type = 6\n"
                                        "  strings: $test = { "
                                     << hexOf(eicar())
                                     << "}\n"
                                        "  condition: $test\n"
                                        "}\n";
    std::ofstream(data / "names.dat") << "version 1 0\n";
    std::ofstream(data / "clean.dat") << "* none\n";
    ASSERT_EQ(start(false, "names.dat", data.string()), 0);
  }

  // A sparse file of `size` bytes holding `content` at `offset`; empty when the
  // folder's file system cannot hold it.
  std::string sparseFile(const std::string& name, std::uint64_t size, std::uint64_t offset,
                         const std::string& content) {
    const std::string path = (dir / name).string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return {};
    const bool written = ::ftruncate(fd, static_cast<off_t>(size)) == 0 &&
                         ::pwrite(fd, content.data(), content.size(), static_cast<off_t>(offset)) ==
                             static_cast<ssize_t>(content.size());
    ::close(fd);
    return written ? path : std::string{};
  }
};

TEST_F(QeldaLargeFile, TestFileBeyondFourGibibytesIsFound) {
  startAnywhereRule();
  // Past 4 GiB by more than a block, and not at a block's start.
  const std::uint64_t offset = 4 * kGiB + (9ull << 20) + 12345;
  const std::uint64_t size = offset + (1ull << 20);
  const std::string path = sparseFile("large.bin", size, offset, eicar());
  if (path.empty()) GTEST_SKIP() << "the temporary folder cannot hold a sparse file of " << size << " bytes";
  Recorder r;
  ASSERT_EQ(scanFile(path, r), 0);
  const Message* sized = find(r, AVM_OBJECT_SIZE);
  ASSERT_NE(sized, nullptr);
  EXPECT_EQ(static_cast<std::uint64_t>(sized->second), size);
  EXPECT_EQ(find(r, AVM_SCAN_ERROR), nullptr);
  ASSERT_NE(find(r, AVM_DETECTION), nullptr);
  EXPECT_EQ(find(r, AVM_DETECTION)->text, "Test.EICAR.Anywhere");
  EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_INFECTED);
  EXPECT_EQ(codes(r).back(), AVM_OBJECT_DONE);
}

// The size is reported whole and is no reason to refuse the object.
TEST_F(QeldaLargeFile, SizeOfFourGibibytesAndMoreIsReportedWhole) {
  startAnywhereRule();
  const std::uint64_t size = 4 * kGiB + 1;
  const std::string path = sparseFile("large-clean.bin", size, size - 1, "x");
  if (path.empty()) GTEST_SKIP() << "the temporary folder cannot hold a sparse file of " << size << " bytes";
  Recorder r;
  r.declineAt = AVM_QUERY_SCAN;  // only the look at the entry: no read of the content
  ASSERT_EQ(scanFile(path, r), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(find(r, AVM_OBJECT_SIZE)->second), size);
  EXPECT_EQ(find(r, AVM_SCAN_ERROR), nullptr);
  EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_NOT_SCANNED);
}

// Holes are not read but taken as the zeros they hold: the digest and the
// detection are those of the file's bytes, wherever its holes and data lie.
TEST_F(QeldaLargeFile, HolesCountAsTheZerosTheyHold) {
  ASSERT_EQ(start(), 0);
  constexpr std::uint64_t kMiB = 1 << 20;
  const struct {
    const char* what;
    std::uint64_t size;
    std::uint64_t offset;
  } cases[] = {{"data after a hole inside the second block", 20 * kMiB, 9 * kMiB + 77},
               {"data in the overlap of two blocks", 20 * kMiB, 8 * kMiB - 100},
               {"trailing hole", 20 * kMiB, 0}};
  for (const auto& c : cases) {
    const std::string data = "hole test " + std::string(c.what);
    const std::string path = sparseFile("sparse.bin", c.size, c.offset, data);
    ASSERT_FALSE(path.empty()) << c.what;
    std::string dense(c.size, '\0');
    dense.replace(c.offset, data.size(), data);
    std::vector<std::uint8_t> expected(32);
    unsigned length = 0;
    EVP_Digest(dense.data(), dense.size(), expected.data(), &length, EVP_sha256(), nullptr);
    Recorder r;
    ASSERT_EQ(scanFile(path, r, true), 0) << c.what;
    ASSERT_NE(find(r, AVM_FILEHASH), nullptr) << c.what;
    EXPECT_EQ(find(r, AVM_FILEHASH)->payload, expected) << c.what;
    EXPECT_EQ(find(r, AVM_OBJECT_SUMMARY)->second, AV_SUMMARY_CLEAN) << c.what;
  }
}

}  // namespace
}  // namespace qeldatest
