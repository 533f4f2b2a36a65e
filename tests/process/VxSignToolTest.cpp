// vxsign, run as a user runs it: what it signs passes the product's signature
// test and still runs; a key of another certificate is refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "process/CodeSignature.h"
#include "process/VxTask.h"
#include "tests/process/ProcessTestSupport.h"
#include "tests/process/TestSigning.h"

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

int runTool(const std::string& arguments, const std::string& output) {
  const std::string command =
      std::string("'") + VX_TEST_VXSIGN + "' " + arguments + " >'" + output + "' 2>&1";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool passesSignatureTest(const std::string& path) {
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool passed = file >= 0 && vxprocess::verifyCodeSignature(file);
  if (file >= 0) close(file);
  return passed;
}

class VxSignToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const vxtest::TestCertificate signer = vxtest::makeSigner(root, "Vexora, Inc.", true);
    const vxtest::TestCertificate other = vxtest::makeSigner(root, "Vexora, Inc.", true);
    std::ofstream(key) << vxtest::toPem(signer.key.get());
    std::ofstream(otherKey) << vxtest::toPem(other.key.get());
    std::ofstream(certificate) << vxtest::toPem(signer.certificate.get());
    std::ofstream(chain) << vxtest::toPem(root.certificate.get());
    std::ofstream(program, std::ios::binary) << readFile(vxtest::argvWriterPath());
    chmod(program.c_str(), 0755);
  }

  vxtest::TestCertificate root = vxtest::makeTestRoot(1);
  vxtest::ScratchFolder scratch;
  std::string key = scratch.file("key.pem");
  std::string otherKey = scratch.file("other-key.pem");
  std::string certificate = scratch.file("cert.pem");
  std::string chain = scratch.file("chain.pem");
  std::string program = scratch.file("tool");
  std::string log = scratch.file("log");
};

TEST_F(VxSignToolTest, SignedFilePassesAndRuns) {
  ASSERT_EQ(runTool("--key '" + key + "' --cert '" + certificate + "' --chain '" + chain +
                        "' --in '" + program + "'",
                    log),
            0)
      << readFile(log);
  EXPECT_TRUE(passesSignatureTest(program));
  const std::string out = scratch.file("out");
  CVxExeTask task(std::wstring(program.begin(), program.end()), std::wstring(out.begin(), out.end()),
                  true, true);
  const VxNAResult<std::uint32_t> outcome = task.run();
  EXPECT_TRUE(outcome.ok) << outcome.error;
  EXPECT_EQ(outcome.value, 0u);
  // Signing twice is refused and leaves the file as it was.
  const std::string signedOnce = readFile(program);
  EXPECT_EQ(runTool("--key '" + key + "' --cert '" + certificate + "' --in '" + program + "'", log),
            1);
  EXPECT_EQ(readFile(program), signedOnce);
}

// A packager's "full chain" file starts with the signer's own certificate.
TEST_F(VxSignToolTest, AcceptsAChainThatHoldsTheSignerToo) {
  const std::string fullChain = scratch.file("fullchain.pem");
  std::ofstream(fullChain) << readFile(certificate) << readFile(chain);
  ASSERT_EQ(runTool("--key '" + key + "' --cert '" + certificate + "' --chain '" + fullChain +
                        "' --in '" + program + "'",
                    log),
            0)
      << readFile(log);
  EXPECT_TRUE(passesSignatureTest(program));
}

TEST_F(VxSignToolTest, RefusesAKeyThatDoesNotMatchTheCertificate) {
  const std::string before = readFile(program);
  EXPECT_EQ(runTool("--key '" + otherKey + "' --cert '" + certificate + "' --chain '" + chain +
                        "' --in '" + program + "'",
                    log),
            1);
  EXPECT_NE(readFile(log).find("the key does not match the certificate"), std::string::npos);
  EXPECT_EQ(readFile(program), before);
}

TEST_F(VxSignToolTest, HelpAndUsage) {
  EXPECT_EQ(runTool("--help", log), 0);
  EXPECT_NE(readFile(log).find("usage: vxsign --key KEY.pem --cert CERT.pem"), std::string::npos);
  EXPECT_EQ(runTool("--key only", log), 64);
}

}  // namespace
