#include "process/CodeSignature.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "process/VxTask.h"
#include "tests/process/ProcessTestSupport.h"
#include "tests/process/TestSigning.h"
#include "tests/support/CaptureLog.h"

namespace {

std::wstring wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeExecutable(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  chmod(path.c_str(), 0755);
}

// The compiled-in test root, a root nobody trusts, and signers under them.
class CodeSignatureTest : public ::testing::Test {
 protected:
  vxtest::TestCertificate root = vxtest::makeTestRoot(1);
  vxtest::TestCertificate strangerRoot = vxtest::makeTestRoot(2);
  std::string program = readFile(vxtest::argvWriterPath());
  vxtest::ScratchFolder scratch;

  std::string signedBy(const vxtest::TestCertificate& issuer, const std::string& name,
                       bool codeSigning, const std::string& content) {
    const vxtest::TestCertificate signer = vxtest::makeSigner(issuer, name, codeSigning);
    return vxtest::appendSignature(
        content, vxtest::signContent(content, signer, {issuer.certificate.get()}));
  }
};

TEST_F(CodeSignatureTest, TheTestRootIsTheCompiledInOne) {
  EXPECT_EQ(vxtest::thumbprintOf(root.certificate.get()), VX_TEST_ROOT_SHA1);
}

// Each file is started by a task that tests its signature: it runs only when
// the test passes, and otherwise the task fails with 1392.
TEST_F(CodeSignatureTest, OnlyTrustedSignaturesStart) {
  std::string changed = signedBy(root, "Vexora, Inc.", true, program);
  changed[program.size() / 2] ^= 0x01;
  struct Case {
    const char* what;
    std::string bytes;
    bool starts;
  };
  const Case cases[] = {
      {"signed and trusted", signedBy(root, "Vexora, Inc.", true, program), true},
      {"signer name in another case", signedBy(root, "vexora, inc.", true, program), true},
      {"unsigned", program, false},
      {"content changed after signing", changed, false},
      {"other signer", signedBy(root, "Other, Inc.", true, program), false},
      {"untrusted root", signedBy(strangerRoot, "Vexora, Inc.", true, program), false},
      {"no code-signing usage", signedBy(root, "Vexora, Inc.", false, program), false},
      {"trailer without signature", vxtest::appendSignature(program, ""), false},
  };
  int index = 0;
  for (const Case& c : cases) {
    vxtest::LogCapture capture;
    const std::string path = scratch.file("tool" + std::to_string(index));
    const std::string out = scratch.file("out" + std::to_string(index++));
    writeExecutable(path, c.bytes);
    CVxExeTask task(wide(path), wide(out), true, true);
    const VxNAResult<std::uint32_t> outcome = task.run();
    EXPECT_EQ(outcome.ok, c.starts) << c.what;
    EXPECT_EQ(outcome.error, c.starts ? 0u : 1392u) << c.what;
    EXPECT_EQ(std::filesystem::exists(out), c.starts) << c.what;
    EXPECT_TRUE(capture->contains(L"Validating the process for signature ... ", VX_LOG_NORMAL));
    EXPECT_EQ(capture->contains(L"Vexora process validation FAILED :- " + wide(path), VX_LOG_ERROR),
              !c.starts)
        << c.what;
  }
}

// A signer whose certificate has expired passes only with a sound
// counter-signature from within its validity.
TEST_F(CodeSignatureTest, CounterSignatureTimeJudgesExpiredSigners) {
  constexpr long kDay = 24 * 3600;
  const vxtest::TestCertificate expired =
      vxtest::makeIssued(root, "Vexora, Inc.", "codeSigning", -400 * kDay, -30 * kDay);
  const vxtest::TestCertificate authority =
      vxtest::makeIssued(root, "Vexora Time", "critical,timeStamping", -1000 * kDay, 1000 * kDay);
  const vxtest::TestCertificate notForTime =
      vxtest::makeIssued(root, "Vexora Time", "codeSigning", -1000 * kDay, 1000 * kDay);
  const std::string signature = vxtest::signContent(program, expired, {root.certificate.get()});
  const std::time_t now = std::time(nullptr);
  struct Case {
    const char* what;
    std::string signature;
    bool passes;
  };
  const Case cases[] = {
      {"no counter-signature", signature, false},
      {"stamped within validity", vxtest::countersign(signature, authority, now - 200 * kDay, false),
       true},
      {"stamped before validity", vxtest::countersign(signature, authority, now - 500 * kDay, false),
       false},
      {"counter-signature damaged", vxtest::countersign(signature, authority, now - 200 * kDay, true),
       false},
      {"stamper without time-stamping usage",
       vxtest::countersign(signature, notForTime, now - 200 * kDay, false), false},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::string path = scratch.file("stamped" + std::to_string(index++));
    writeExecutable(path, vxtest::appendSignature(program, c.signature));
    CVxExeTask task(wide(path), L"", true, false);
    EXPECT_EQ(task.validateSignature(wide(path)), c.passes) << c.what;
  }
}

// A task whose file is replaced by another program right after the test: the
// file that was tested is the file that runs.
class ReplacingTask : public CVxExeTask {
 public:
  ReplacingTask(const std::string& path, const std::string& out, std::string replacement)
      : CVxExeTask(wide(path), wide(out), true, true), path_(path), replacement_(std::move(replacement)) {}

 protected:
  bool validateOpenExecutable(int executable, const std::wstring& path) override {
    const bool passed = CVxExeTask::validateOpenExecutable(executable, path);
    const std::string swap = path_ + ".new";
    writeExecutable(swap, replacement_);
    std::rename(swap.c_str(), path_.c_str());
    return passed;
  }

 private:
  std::string path_;
  std::string replacement_;
};

TEST_F(CodeSignatureTest, AFileReplacedAfterTheTestNeverRuns) {
  const std::string path = scratch.file("tool");
  const std::string out = scratch.file("out");
  const std::string marker = scratch.file("replacement-ran");
  writeExecutable(path, signedBy(root, "Vexora, Inc.", true, program));
  ReplacingTask task(path, out, "#!/bin/sh\ntouch '" + marker + "'\n");
  const VxNAResult<std::uint32_t> outcome = task.run();
  EXPECT_TRUE(outcome.ok) << outcome.error;
  EXPECT_TRUE(std::filesystem::exists(out));
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(readFile(path).substr(0, 2), "#!");  // the path did change
}

// OpenSSL's own verifier agrees on the signature blob and content.
TEST_F(CodeSignatureTest, OpenSslCmsVerifyAgrees) {
  const std::string file = signedBy(root, "Vexora, Inc.", true, program);
  std::string_view content;
  std::string_view signature;
  ASSERT_TRUE(vxprocess::splitAppendedSignature(file, content, signature));
  EXPECT_EQ(content, program);
  const std::string blob = scratch.file("sig.der");
  const std::string data = scratch.file("content");
  const std::string changedData = scratch.file("changed");
  const std::string ca = scratch.file("root.pem");
  std::ofstream(blob, std::ios::binary) << signature;
  std::ofstream(data, std::ios::binary) << content;
  std::string changed(content);
  changed[0] ^= 0x01;
  std::ofstream(changedData, std::ios::binary) << changed;
  std::ofstream(ca) << vxtest::toPem(root.certificate.get());
  const auto verify = [&](const std::string& contentFile) {
    const std::string command = "openssl cms -verify -binary -inform DER -purpose any -in '" +
                                blob + "' -content '" + contentFile + "' -CAfile '" + ca +
                                "' -out /dev/null 2>/dev/null";
    return std::system(command.c_str()) == 0;
  };
  EXPECT_TRUE(verify(data));
  EXPECT_FALSE(verify(changedData));
}

TEST(CodeSignatureSplitTest, RejectsMalformedTrailers) {
  const std::string magic = "~Module signature appended~\n";
  std::string_view content;
  std::string_view signature;
  const std::string tooLong =
      std::string("x", 1) + std::string("\0\0\2\0\0\0\0\0\0\0\1\0", 12) + magic;
  const std::string notPkcs7 = "abc" + std::string("\0\0\1\0\0\0\0\0\0\0\0\1", 12) + magic;
  EXPECT_FALSE(vxprocess::splitAppendedSignature("", content, signature));
  EXPECT_FALSE(vxprocess::splitAppendedSignature(magic, content, signature));
  EXPECT_FALSE(vxprocess::splitAppendedSignature(tooLong, content, signature));
  EXPECT_FALSE(vxprocess::splitAppendedSignature(notPkcs7, content, signature));
  const std::string good = "abcsig" + std::string("\0\0\2\0\0\0\0\0\0\0\0\3", 12) + magic;
  ASSERT_TRUE(vxprocess::splitAppendedSignature(good, content, signature));
  EXPECT_EQ(content, "abc");
  EXPECT_EQ(signature, "sig");
}

}  // namespace
