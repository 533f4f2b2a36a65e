// The executables this build signs pass the signature test with the product's
// own list of trusted roots, so that the product starts its own tools.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>

#include "process/CodeSignature.h"

namespace {

TEST(SignedBuildTest, OwnExecutablesPassTheSignatureTest) {
  const std::string files = VX_SIGNED_EXECUTABLES;
  if (files.empty()) GTEST_SKIP() << "this build signs nothing (no VX_SIGNING_KEY)";
  std::istringstream list(files);
  for (std::string path; std::getline(list, path, ':');) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    ASSERT_GE(descriptor, 0) << path;
    EXPECT_TRUE(vxprocess::verifyCodeSignature(descriptor)) << path;
    ::close(descriptor);
  }
}

}  // namespace
