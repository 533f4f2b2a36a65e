#include "process/CodeSignature.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

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

constexpr long kDay = 24 * 3600;

struct CmsDeleter {
  void operator()(CMS_ContentInfo* p) const { CMS_ContentInfo_free(p); }
};
struct OpenSslBytesDeleter {
  void operator()(unsigned char* p) const { OPENSSL_free(p); }
};

// The signature (DER) with change made to its message, written out again.
std::string edited(const std::string& signature,
                   const std::function<void(CMS_ContentInfo*)>& change) {
  const auto* der = reinterpret_cast<const unsigned char*>(signature.data());
  const std::unique_ptr<CMS_ContentInfo, CmsDeleter> message(
      d2i_CMS_ContentInfo(nullptr, &der, static_cast<long>(signature.size())));
  if (!message) throw std::runtime_error("edited: message");
  change(message.get());
  unsigned char* encoded = nullptr;
  const int size = i2d_CMS_ContentInfo(message.get(), &encoded);
  const std::unique_ptr<unsigned char, OpenSslBytesDeleter> owned(encoded);
  if (size <= 0) throw std::runtime_error("edited: encode");
  return std::string(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(size));
}

// The signature carrying one more certificate.
std::string carrying(const std::string& signature, X509* certificate) {
  return edited(signature, [&](CMS_ContentInfo* message) {
    if (CMS_add1_cert(message, certificate) != 1) throw std::runtime_error("carrying");
  });
}

// The signature with content of its own: the octets of the message's
// encapsulated content, which a detached signature leaves out.
std::string embedding(const std::string& signature, const std::string& content) {
  return edited(signature, [&](CMS_ContentInfo* message) {
    ASN1_OCTET_STRING** slot = CMS_get0_content(message);
    if (slot == nullptr || *slot != nullptr) throw std::runtime_error("embedding: not detached");
    *slot = ASN1_OCTET_STRING_new();
    if (*slot == nullptr ||
        ASN1_OCTET_STRING_set(*slot, reinterpret_cast<const unsigned char*>(content.data()),
                              static_cast<int>(content.size())) != 1) {
      throw std::runtime_error("embedding: content");
    }
  });
}

// The certificate without its extended-usage extension, signed again by issuer.
vxtest::TestCertificate withoutExtendedUsage(vxtest::TestCertificate certificate,
                                             const vxtest::TestCertificate& issuer) {
  X509* x509 = certificate.certificate.get();
  const int index = X509_get_ext_by_NID(x509, NID_ext_key_usage, -1);
  if (index < 0) throw std::runtime_error("withoutExtendedUsage: no extension");
  X509_EXTENSION_free(X509_delete_ext(x509, index));
  if (X509_sign(x509, issuer.key.get(), nullptr) <= 0) {
    throw std::runtime_error("withoutExtendedUsage: signature");
  }
  return certificate;
}

// Sets (or, without a value, removes) an environment variable for its lifetime.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* before = std::getenv(name)) before_ = before;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (before_) {
      setenv(name_, before_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> before_;
};

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

  // The signature test of a file of these bytes, read from disk as the product
  // reads it.
  bool passes(const std::string& bytes) {
    const std::string path = scratch.file("file" + std::to_string(files_++));
    writeExecutable(path, bytes);
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) throw std::runtime_error("open " + path);
    const bool passed = vxprocess::verifyCodeSignature(descriptor);
    ::close(descriptor);
    return passed;
  }

 private:
  int files_ = 0;
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
// counter-signature from within its validity, by a time-stamping authority by
// RFC 3161 (the time-stamping usage, critical and alone) under a compiled-in
// root.
TEST_F(CodeSignatureTest, CounterSignatureTimeJudgesExpiredSigners) {
  const auto stamper = [&](const vxtest::TestCertificate& issuer, const char* usage) {
    return vxtest::makeIssued(issuer, "Vexora Time", usage, -1000 * kDay, 1000 * kDay);
  };
  const vxtest::TestCertificate expired =
      vxtest::makeIssued(root, "Vexora, Inc.", "codeSigning", -400 * kDay, -30 * kDay);
  const vxtest::TestCertificate authority = stamper(root, "critical,timeStamping");
  const vxtest::TestCertificate notForTime = stamper(root, "codeSigning");
  const vxtest::TestCertificate noUsages = withoutExtendedUsage(stamper(root, "codeSigning"), root);
  const vxtest::TestCertificate anyUsage = stamper(root, "critical,anyExtendedKeyUsage");
  const vxtest::TestCertificate notCritical = stamper(root, "timeStamping");
  const vxtest::TestCertificate alsoCode = stamper(root, "critical,timeStamping,codeSigning");
  const vxtest::TestCertificate foreign = stamper(strangerRoot, "critical,timeStamping");
  const std::string signature = vxtest::signContent(program, expired, {root.certificate.get()});
  const std::time_t now = std::time(nullptr);
  const std::time_t within = now - 200 * kDay;
  struct Case {
    const char* what;
    std::string signature;
    bool passes;
  };
  const Case cases[] = {
      {"no counter-signature", signature, false},
      {"stamped within validity", vxtest::countersign(signature, authority, within, false), true},
      {"stamped before validity",
       vxtest::countersign(signature, authority, now - 500 * kDay, false), false},
      {"counter-signature damaged", vxtest::countersign(signature, authority, within, true), false},
      {"stamper without time-stamping usage",
       vxtest::countersign(signature, notForTime, within, false), false},
      {"stamper without extended usages",
       vxtest::countersign(signature, noUsages, within, false), false},
      {"stamper allowed any usage", vxtest::countersign(signature, anyUsage, within, false), false},
      {"time-stamping usage not critical",
       vxtest::countersign(signature, notCritical, within, false), false},
      {"time-stamping usage beside code signing",
       vxtest::countersign(signature, alsoCode, within, false), false},
      {"stamper under a root outside the list, root carried",
       carrying(vxtest::countersign(signature, foreign, within, false),
                strangerRoot.certificate.get()),
       false},
      {"stamper under a root outside the list, root not carried",
       vxtest::countersign(signature, foreign, within, false), false},
  };
  int index = 0;
  for (const Case& c : cases) {
    const std::string path = scratch.file("stamped" + std::to_string(index++));
    writeExecutable(path, vxtest::appendSignature(program, c.signature));
    CVxExeTask task(wide(path), L"", true, false);
    EXPECT_EQ(task.validateSignature(wide(path)), c.passes) << c.what;
  }
}

// The variables that point OpenSSL at a trust store change nothing: the
// attacker's root in a store they name leaves the attacker's time stamp no
// trusted time, and the product's own stamps pass as before.
TEST_F(CodeSignatureTest, TrustStoreVariablesChangeNothing) {
  const vxtest::TestCertificate expired =
      vxtest::makeIssued(root, "Vexora, Inc.", "codeSigning", -400 * kDay, -30 * kDay);
  const vxtest::TestCertificate authority =
      vxtest::makeIssued(root, "Vexora Time", "critical,timeStamping", -1000 * kDay, 1000 * kDay);
  const vxtest::TestCertificate attacker = vxtest::makeIssued(
      strangerRoot, "Attacker Time", "critical,timeStamping", -1000 * kDay, 1000 * kDay);
  const std::string signature = vxtest::signContent(program, expired, {root.certificate.get()});
  const std::time_t within = std::time(nullptr) - 200 * kDay;

  const std::string storeFile = scratch.file("attacker-roots.pem");
  std::ofstream(storeFile) << vxtest::toPem(strangerRoot.certificate.get());
  const std::string storeFolder = scratch.file("attacker-certs");
  std::filesystem::create_directory(storeFolder);
  std::array<char, 16> hashed{};
  std::snprintf(hashed.data(), hashed.size(), "%08lx.0",
                X509_subject_name_hash(strangerRoot.certificate.get()));
  std::ofstream(storeFolder + "/" + hashed.data()) << vxtest::toPem(strangerRoot.certificate.get());

  struct Setting {
    const char* what;
    std::optional<std::string> file;
    std::optional<std::string> folder;
  };
  const Setting settings[] = {
      {"neither variable set", std::nullopt, std::nullopt},
      {"SSL_CERT_FILE names the attacker's store", storeFile, std::nullopt},
      {"SSL_CERT_DIR names the attacker's store", std::nullopt, storeFolder},
      {"both name it", storeFile, storeFolder},
  };
  struct Case {
    const char* what;
    std::string signature;
    bool passes;
  };
  const Case cases[] = {
      {"stamped by the product's authority",
       vxtest::countersign(signature, authority, within, false), true},
      {"stamped by the attacker's authority",
       vxtest::countersign(signature, attacker, within, false), false},
      {"stamped by the attacker's authority, its root carried",
       carrying(vxtest::countersign(signature, attacker, within, false),
                strangerRoot.certificate.get()),
       false},
  };
  for (const Setting& setting : settings) {
    const ScopedVariable file("SSL_CERT_FILE", setting.file);
    const ScopedVariable folder("SSL_CERT_DIR", setting.folder);
    for (const Case& c : cases) {
      EXPECT_EQ(passes(vxtest::appendSignature(program, c.signature)), c.passes)
          << setting.what << ": " << c.what;
    }
  }
}

// The signature block is one DER object from its first byte to its last:
// whatever an attacker puts around or into the message, with the trailer's
// length raised to take it in, is refused.
TEST_F(CodeSignatureTest, TheSignatureBlockIsOneDerObjectToItsEnd) {
  const vxtest::TestCertificate signer = vxtest::makeSigner(root, "Vexora, Inc.", true);
  const std::string signature = vxtest::signContent(program, signer, {root.certificate.get()});
  // A SEQUENCE with a two-byte length: 30 82 hi lo.
  ASSERT_GT(signature.size(), 4u);
  ASSERT_EQ(signature[0], '\x30');
  ASSERT_EQ(signature[1], '\x82');
  const std::size_t length = static_cast<unsigned char>(signature[2]) << 8 |
                             static_cast<unsigned char>(signature[3]);
  ASSERT_EQ(length + 4, signature.size());
  const std::string contents = signature.substr(4);
  const auto header = [](std::size_t size) {
    return std::string{'\x30', '\x82', static_cast<char>(size >> 8), static_cast<char>(size)};
  };
  const std::string junk = "#!/bin/sh\nrm -rf /\n";
  const std::string zeros(64, '\0');
  const std::string head = program.substr(0, program.size() - 1);
  struct Case {
    const char* what;
    std::string file;
    bool passes;
  };
  const Case cases[] = {
      {"as signed", vxtest::appendSignature(program, signature), true},
      {"written out again unchanged",
       vxtest::appendSignature(program, edited(signature, [](CMS_ContentInfo*) {})), true},
      {"zero padding after the message", vxtest::appendSignature(program, signature + zeros),
       false},
      {"bytes after the message", vxtest::appendSignature(program, signature + junk), false},
      {"a second message after the first",
       vxtest::appendSignature(program, signature + signature), false},
      {"one byte after the message", vxtest::appendSignature(program, signature + '\0'), false},
      {"zero padding before the message", vxtest::appendSignature(program, zeros + signature),
       false},
      {"trailer length taking in the content's last byte",
       vxtest::appendSignature(head, program.back() + signature), false},
      {"trailer length one short of the message",
       vxtest::appendSignature(program + signature.front(), signature.substr(1)), false},
      {"outer length raised over bytes after the message",
       vxtest::appendSignature(program, header(length + junk.size()) + contents + junk), false},
      {"outer length in a longer form than needed",
       vxtest::appendSignature(program, std::string{'\x30', '\x83', '\0'} + signature.substr(2)),
       false},
      {"outer length left open (BER indefinite length)",
       vxtest::appendSignature(program,
                               std::string{'\x30', '\x80'} + contents + std::string(2, '\0')),
       false},
      {"the content carried inside the message",
       vxtest::appendSignature(program, embedding(signature, program)), false},
      {"other bytes carried inside the message as content",
       vxtest::appendSignature(program, embedding(signature, junk)), false},
  };
  for (const Case& c : cases) EXPECT_EQ(passes(c.file), c.passes) << c.what;
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

// OpenSSL's own verifier gives the same answer on the same signature block and
// content wherever the two judge the same things: the message's signature over
// the content and its chain to the test root. (OpenSSL reads one object from
// its input and ignores what follows, so bytes after the message have no place
// here.)
TEST_F(CodeSignatureTest, OpenSslCmsVerifyAgrees) {
  const vxtest::TestCertificate signer = vxtest::makeSigner(root, "Vexora, Inc.", true);
  const vxtest::TestCertificate stranger = vxtest::makeSigner(strangerRoot, "Vexora, Inc.", true);
  const std::string signature = vxtest::signContent(program, signer, {root.certificate.get()});
  std::string_view content;
  std::string_view split;
  const std::string file = vxtest::appendSignature(program, signature);
  ASSERT_TRUE(vxprocess::splitAppendedSignature(file, content, split));
  EXPECT_EQ(content, program);
  EXPECT_EQ(split, signature);

  std::string changed = program;
  changed[0] ^= 0x01;
  std::string damaged = signature;
  damaged.back() ^= 0x01;  // the signature value ends the message
  const std::string junk = "#!/bin/sh\n";
  const std::size_t length = signature.size() - 4;
  std::string raised = signature + junk;
  raised[2] = static_cast<char>((length + junk.size()) >> 8);
  raised[3] = static_cast<char>(length + junk.size());
  ASSERT_EQ(signature.substr(0, 2), std::string("\x30\x82"));
  struct Case {
    const char* what;
    std::string content;
    std::string signature;
    bool passes;
  };
  const Case cases[] = {
      {"as signed", program, signature, true},
      {"content changed", changed, signature, false},
      {"signature value damaged", program, damaged, false},
      {"signer under a root outside the list", program,
       vxtest::signContent(program, stranger, {strangerRoot.certificate.get()}), false},
      {"outer length raised over bytes after the message", program, raised, false},
      {"message cut short", program, signature.substr(0, signature.size() - 1), false},
  };
  const std::string ca = scratch.file("root.pem");
  const std::string blob = scratch.file("sig.der");
  const std::string data = scratch.file("content");
  std::ofstream(ca) << vxtest::toPem(root.certificate.get());
  for (const Case& c : cases) {
    std::ofstream(blob, std::ios::binary | std::ios::trunc) << c.signature;
    std::ofstream(data, std::ios::binary | std::ios::trunc) << c.content;
    const std::string command = "openssl cms -verify -binary -inform DER -purpose any -in '" +
                                blob + "' -content '" + data + "' -CAfile '" + ca +
                                "' -out /dev/null 2>/dev/null";
    const bool openssl = std::system(command.c_str()) == 0;
    const bool ours = passes(vxtest::appendSignature(c.content, c.signature));
    EXPECT_EQ(ours, c.passes) << c.what;
    EXPECT_EQ(openssl, ours) << c.what;
  }
}

// The trailer is struct module_signature: algo, hash, id_type, signer_len,
// key_id_len, three bytes of padding and the big-endian length. The PKCS#7 kind
// (id_type 2) leaves every other field but the length zero.
TEST(CodeSignatureSplitTest, RejectsMalformedTrailers) {
  const std::string magic = "~Module signature appended~\n";
  const auto trailer = [](std::size_t field, char value, char length) {
    std::string bytes("\0\0\2\0\0\0\0\0\0\0\0", 11);
    bytes += length;
    bytes[field] = value;
    return bytes;
  };
  struct Case {
    std::string what;
    std::string file;
  };
  std::vector<Case> cases = {
      {"empty", ""},
      {"magic only", magic},
      {"length past the start", "x" + trailer(10, '\1', '\0') + magic},
      {"length zero", "abcsig" + trailer(11, '\0', '\0') + magic},
      {"other kind", "abcsig" + trailer(2, '\1', '\3') + magic},
      {"magic cut short", "abcsig" + trailer(2, '\2', '\3') + magic.substr(1)},
  };
  const char* const fields[] = {"algo", "hash", "", "signer_len", "key_id_len",
                                "padding 0", "padding 1", "padding 2"};
  for (std::size_t field = 0; field < 8; ++field) {
    if (field == 2) continue;  // id_type
    cases.push_back(
        {std::string(fields[field]) + " set", "abcsig" + trailer(field, '\1', '\3') + magic});
  }
  for (const Case& c : cases) {
    std::string_view content;
    std::string_view signature;
    EXPECT_FALSE(vxprocess::splitAppendedSignature(c.file, content, signature)) << c.what;
  }
  std::string_view content;
  std::string_view signature;
  const std::string good = "abcsig" + trailer(2, '\2', '\3') + magic;
  ASSERT_TRUE(vxprocess::splitAppendedSignature(good, content, signature));
  EXPECT_EQ(content, "abc");
  EXPECT_EQ(signature, "sig");
}

}  // namespace
