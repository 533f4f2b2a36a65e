// Sifter.exe uploading, against a local HTTPS server of the test's with a
// certificate of the test's own CA.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>

#include "platform/UniqueFileDescriptor.h"
#include "tests/tools/sifter/SifterTestSupport.h"
#include "tests/tools/sifter/SubmissionServer.h"
#include "tools/sifter/SifterExitCode.h"

namespace {

namespace fs = std::filesystem;
using namespace sifter_test;
using sifter::ExitCode;
using sifter::toInt;

// A port of 127.0.0.1 on which nobody listens: bound, so nobody else takes it
// meanwhile, but never listening, so connections are refused.
class ClosedPort {
 public:
  ClosedPort() : socket_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), size) == 0 &&
        getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &size) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  int port() const { return port_; }

 private:
  platform::UniqueFileDescriptor socket_;
  int port_ = 0;
};

class SifterUploadTest : public ::testing::Test {
 protected:
  SifterUploadTest() : tool_(scratch_.path()) {
    fs::create_directories(certificates());
    fs::create_directories(received());
    std::string bytes;
    for (int i = 0; i < 200000; ++i) bytes += static_cast<char>((i * 7919) >> 3);
    archiveBytes_ = bytes;
    writeBytes(archive(), archiveBytes_, kPrivate);
  }
  void SetUp() override {
    makeCa(certificates(), "trusted-ca");
    makeCa(certificates(), "other-ca");
    makeServerCertificate(certificates(), "trusted-ca");
  }

  fs::path certificates() const { return scratch_.path() / "certificates"; }
  fs::path received() const { return scratch_.path() / "received"; }
  fs::path archive() const { return scratch_.path() / "Sifter.zip"; }

  void configure(const std::string& address, const std::string& ca = "trusted-ca") {
    tool_.writeSettings("[Upload]\nAddress=" + address + "\nCAFile=" + (certificates() / (ca + ".pem")).string() + "\n");
  }
  static std::string addressOf(int port) { return "https://127.0.0.1:" + std::to_string(port) + "/submit"; }

  ScratchFolder scratch_;
  SifterInstall tool_;
  std::string archiveBytes_;
};

TEST_F(SifterUploadTest, TheServerReceivesExactlyTheArchive) {
  SubmissionServer server(certificates(), received(), 200);
  ASSERT_NE(server.port(), 0);
  configure(addressOf(server.port()));
  const auto result = tool_.run({"--upload=" + archive().string()});
  EXPECT_EQ(result.exitCode, toInt(ExitCode::Success)) << result.err;
  EXPECT_EQ(readBytes(received() / "body-0.bin"), archiveBytes_);
  EXPECT_EQ(readBytes(received() / "body-0.type"), "application/zip");
}

TEST_F(SifterUploadTest, FailuresGiveTheirDocumentedCodes) {
  fs::create_directories(received() / "accepting");
  fs::create_directories(received() / "failing");
  SubmissionServer accepting(certificates(), received() / "accepting", 200);
  SubmissionServer failing(certificates(), received() / "failing", 500);
  ASSERT_NE(accepting.port(), 0);
  ASSERT_NE(failing.port(), 0);
  ClosedPort closed;
  ASSERT_NE(closed.port(), 0);
  struct Case {
    const char* what;
    std::optional<std::string> settings;  // nothing: no settings file at all
    fs::path archive;
    ExitCode expected;
  };
  auto settingsFor = [&](const std::string& address, const std::string& ca) {
    return "[Upload]\nAddress=" + address + "\nCAFile=" + (certificates() / (ca + ".pem")).string() + "\n";
  };
  const std::vector<Case> cases{
      {"untrusted certificate", settingsFor(addressOf(accepting.port()), "other-ca"), archive(),
       ExitCode::CertificateUntrusted},
      {"certificate for another host name",
       settingsFor("https://localhost:" + std::to_string(accepting.port()) + "/submit", "trusted-ca"), archive(),
       ExitCode::CertificateUntrusted},
      {"no settings file", std::nullopt, archive(), ExitCode::NoAddress},
      {"no address", std::string("[Upload]\nCAFile=\n"), archive(), ExitCode::NoAddress},
      {"connection refused", settingsFor(addressOf(closed.port()), "trusted-ca"), archive(),
       ExitCode::ConnectionFailed},
      {"server error", settingsFor(addressOf(failing.port()), "trusted-ca"), archive(), ExitCode::HttpError},
      {"missing archive", settingsFor(addressOf(accepting.port()), "trusted-ca"), scratch_.path() / "missing.zip",
       ExitCode::ArchiveUnreadable},
      {"archive is a folder", settingsFor(addressOf(accepting.port()), "trusted-ca"), certificates(),
       ExitCode::ArchiveUnreadable},
      {"plain http", settingsFor("http://127.0.0.1:" + std::to_string(accepting.port()) + "/", "trusted-ca"),
       archive(), ExitCode::TransferFailed},
  };
  for (const auto& c : cases) {
    fs::remove(tool_.settingsPath());
    if (c.settings) tool_.writeSettings(*c.settings);
    const auto result = tool_.run({"--upload=" + c.archive.string()});
    EXPECT_EQ(result.exitCode, toInt(c.expected)) << c.what << "\n" << result.err;
  }
  // Only the server error case got as far as a request; no body reached the
  // server over an untrusted connection or in plain text.
  EXPECT_TRUE(fs::exists(received() / "failing" / "body-0.bin"));
  EXPECT_TRUE(fs::is_empty(received() / "accepting"));
}

// The CA decides whom root uploads to: one another user could have replaced, or
// one reached through a link in any folder, is refused before any connection.
TEST_F(SifterUploadTest, ACaFileOthersCouldHaveWrittenIsRefused) {
  SubmissionServer server(certificates(), received(), 200);
  ASSERT_NE(server.port(), 0);
  const fs::path linked = scratch_.path() / "linked-certificates";
  fs::create_directory_symlink(certificates(), linked);
  struct Case {
    const char* what;
    fs::path ca;
    mode_t folderMode;
  } const cases[] = {
      {"its folder writable by others", certificates() / "trusted-ca.pem", 0777},
      {"a link in its path", linked / "trusted-ca.pem", 0755},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ::chmod(certificates().c_str(), c.folderMode);
    tool_.writeSettings("[Upload]\nAddress=" + addressOf(server.port()) + "\nCAFile=" + c.ca.string() + "\n");
    const auto result = tool_.run({"--upload=" + archive().string()});
    EXPECT_EQ(result.exitCode, toInt(ExitCode::SettingsRefused)) << result.err;
    EXPECT_NE(result.err.find("is refused: "), std::string::npos) << result.err;
    ::chmod(certificates().c_str(), 0755);
  }
  EXPECT_TRUE(fs::is_empty(received()));
}

TEST_F(SifterUploadTest, AnArchiveLinkIsRefused) {
  SubmissionServer server(certificates(), received(), 200);
  ASSERT_NE(server.port(), 0);
  configure(addressOf(server.port()));
  fs::create_symlink(archive(), scratch_.path() / "link.zip");
  EXPECT_EQ(tool_.run({"--upload=" + (scratch_.path() / "link.zip").string()}).exitCode,
            toInt(ExitCode::ArchiveUnreadable));
  EXPECT_FALSE(fs::exists(received() / "body-0.bin"));
}

}  // namespace
