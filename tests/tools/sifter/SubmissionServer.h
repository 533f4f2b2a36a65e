#pragma once
// A local HTTPS submission server for upload tests (submission_server.py), with
// certificates of the test's own CA made by openssl.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/tools/sifter/SifterTestSupport.h"

namespace sifter_test {

namespace fs = std::filesystem;

inline constexpr auto kPrivate = fs::perms::owner_read | fs::perms::owner_write;

// Runs openssl; the test fails when it does.
inline void openssl(const std::vector<std::string>& arguments) {
  const auto result = runToEnd("/usr/bin/openssl", arguments, {});
  ASSERT_EQ(result.exitCode, 0) << result.err;
}

// A CA (key and certificate) made in folder under name.
inline void makeCa(const fs::path& folder, const std::string& name) {
  openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
           "-subj", "/CN=" + name, "-keyout", (folder / (name + ".key")).string(), "-out",
           (folder / (name + ".pem")).string()});
  // The tool trusts no CA file that others may change.
  fs::permissions(folder / (name + ".pem"), kPrivate);
}

// A server certificate for 127.0.0.1 issued by the CA `ca`.
inline void makeServerCertificate(const fs::path& folder, const std::string& ca) {
  writeBytes(folder / "server.ext",
             "subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n", kPrivate);
  openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-subj",
           "/CN=127.0.0.1", "-keyout", (folder / "server.key").string(), "-out", (folder / "server.csr").string()});
  openssl({"x509", "-req", "-days", "2", "-in", (folder / "server.csr").string(), "-CA",
           (folder / (ca + ".pem")).string(), "-CAkey", (folder / (ca + ".key")).string(), "-CAcreateserial",
           "-extfile", (folder / "server.ext").string(), "-out", (folder / "server.pem").string()});
}

// The submission server, running until the object goes.
class SubmissionServer {
 public:
  SubmissionServer(const fs::path& certificates, const fs::path& received, int status)
      : process_("/usr/bin/python3",
                 {SIFTER_SUBMISSION_SERVER, "--cert", (certificates / "server.pem").string(), "--key",
                  (certificates / "server.key").string(), "--out", received.string(), "--status",
                  std::to_string(status)},
                 {}) {
    if (!process_.started()) return;
    const auto line = process_.waitForLine(ChildProcess::Stream::Out,
                                           [](const std::string& text) { return text.starts_with("PORT "); });
    if (line) port_ = std::stoi(line->substr(5));
  }
  int port() const { return port_; }

 private:
  ChildProcess process_;
  int port_ = 0;
};

}  // namespace sifter_test
