// Which executables may create the component's objects: those only root or the
// running user can change, and those carrying the product's signature.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/UniqueFileDescriptor.h"
#include "process/CallerValidation.h"
#include "tests/process/TestSigning.h"
#include "tests/support/ScratchFolder.h"

namespace {

namespace fs = std::filesystem;

constexpr uid_t kOtherUser = 65534;

class CallerValidationTest : public ::testing::Test {
 protected:
  void SetUp() override { ::chmod(folder_.c_str(), 0755); }

  // A program file in `subfolder` (mode folderMode) with mode fileMode.
  fs::path program(const std::string& subfolder, mode_t folderMode, mode_t fileMode,
                   const std::string& content = "#!/bin/sh\n") const {
    const fs::path folder = folder_ / subfolder;
    fs::create_directories(folder);
    ::chmod(folder.c_str(), folderMode);
    const fs::path file = folder / "program";
    std::ofstream(file, std::ios::binary) << content;
    ::chmod(file.c_str(), fileMode);
    return file;
  }

  static bool passes(const fs::path& opened, const fs::path& named, uid_t user = ::geteuid()) {
    const platform::UniqueFileDescriptor file(::open(opened.c_str(), O_RDONLY | O_CLOEXEC));
    return file.valid() && vxprocess::executablePassesCallerValidation(file.get(), named.string(), user);
  }

  vxtest::ScratchFolder scratch_{"vx-caller"};
  const fs::path& folder_ = scratch_.path();
};

TEST_F(CallerValidationTest, OnlyFilesNobodyElseCanChangePass) {
  struct Case {
    const char* what;
    mode_t folderMode;
    mode_t fileMode;
    bool passes;
  };
  const Case cases[] = {
      {"installed", 0755, 0755, true},
      {"read-only folder", 0555, 0555, true},
      {"group-writable file", 0755, 0775, false},
      {"world-writable file", 0755, 0757, false},
      {"group-writable folder", 0775, 0755, false},
      {"world-writable folder", 0777, 0755, false},
      {"sticky world-writable folder", 01777, 0755, true},
  };
  for (const Case& c : cases) {
    const fs::path file = program(c.what, c.folderMode, c.fileMode);
    EXPECT_EQ(passes(file, file), c.passes) << c.what;
  }
}

TEST_F(CallerValidationTest, OwnersOtherThanRootAndTheUserFail) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  const fs::path theirs = program("their file", 0755, 0755);
  ASSERT_EQ(::chown(theirs.c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_FALSE(passes(theirs, theirs));
  EXPECT_TRUE(passes(theirs, theirs, kOtherUser)) << "a user's own program is theirs to run";

  const fs::path inTheirFolder = program("their folder", 0755, 0755);
  ASSERT_EQ(::chown(inTheirFolder.parent_path().c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_FALSE(passes(inTheirFolder, inTheirFolder));
}

// The file checked is the file that runs: a path now naming another file, or a
// link, fails.
TEST_F(CallerValidationTest, ThePathMustNameTheRunningFile) {
  const fs::path running = program("running", 0755, 0755);
  const fs::path other = program("other", 0755, 0755);
  EXPECT_FALSE(passes(running, other));
  const fs::path link = folder_ / "link";
  fs::create_symlink(running, link);
  EXPECT_FALSE(passes(running, link));
  EXPECT_FALSE(passes(running, "relative/program"));
}

TEST_F(CallerValidationTest, ASignedProgramPassesAnywhere) {
  const auto root = vxtest::makeTestRoot(1);
  const auto signer = vxtest::makeSigner(root, "Vexora, Inc.", true);
  const std::string content = "#!/bin/sh\nexit 0\n";
  const std::string signedContent =
      vxtest::appendSignature(content, vxtest::signContent(content, signer, {root.certificate.get()}));
  const fs::path exposed = program("exposed", 0777, 0777, signedContent);
  EXPECT_TRUE(passes(exposed, exposed));
  const fs::path unsignedCopy = program("exposed unsigned", 0777, 0777, content);
  EXPECT_FALSE(passes(unsignedCopy, unsignedCopy));
}

// The test binary itself lies in the build tree, which only its builder writes.
TEST(CallerValidation, ThisProcessPasses) { EXPECT_TRUE(vxprocess::callingProcessPassesValidation()); }

}  // namespace
