// The suspicious-scan object with the real, build-signed Sifter.exe: a script
// hears the collection, reads the report, and uploads the archive to a local
// HTTPS server of the test's (trusted through the tool's settings file).
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <pugixml.hpp>

#include "platform/Utf8.h"
#include "platform/automation/ComObject.h"
#include "platform/automation/ScriptObject.h"
#include "platform/automation/UniqueBstr.h"
#include "platform/automation/UniqueVariant.h"
#include "platform/automation/VariantOf.h"
#include "suspicious/VxSuspScanDispImpl.h"
#include "tests/tools/sifter/SifterTestSupport.h"
#include "tests/tools/sifter/SubmissionServer.h"
#include "tools/sifter/SifterExitCode.h"

namespace {

using namespace sifter_test;
using platform::automation::com_ptr;
using platform::automation::ComObject;
using platform::automation::UniqueBstr;
using platform::automation::UniqueVariant;

// The outcomes the test's script hears, in order.
class Script {
 public:
  Script()
      : object_(platform::automation::makeScriptObject(
            {{L"OnScanComplete", hear(true)}, {L"OnUploadComplete", hear(false)}})) {}
  IDispatch* get() const { return object_.get(); }

  std::optional<ULONG> wait(bool scan) {
    std::unique_lock guard(lock_);
    std::optional<ULONG>& code = scan ? scan_ : upload_;
    changed_.wait_for(guard, std::chrono::minutes(2), [&] { return code.has_value(); });
    return std::exchange(code, std::nullopt);
  }

 private:
  std::function<HRESULT(std::span<const VARIANT>, VARIANT*)> hear(bool scan) {
    return [this, scan](std::span<const VARIANT> arguments, VARIANT*) {
      std::lock_guard guard(lock_);
      (scan ? scan_ : upload_) = arguments.empty() ? 0xFFFFFFFF : arguments[0].ulVal;
      changed_.notify_all();
      return S_OK;
    };
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::optional<ULONG> scan_;
  std::optional<ULONG> upload_;
  com_ptr<IDispatch> object_;
};

// A folder the collector is told is world-writable, holding one executable,
// "dropper", for it to find.
fs::path plantDropper(const fs::path& scratch) {
  const fs::path plant = scratch / "plant";
  fs::create_directories(plant);
  fs::copy_file("/bin/true", plant / "dropper");
  return plant;
}

// Collector settings that look only into `plant`.
std::string plantOnlySettings(const fs::path& scratch, const fs::path& plant) {
  return "[Scan]\nWritableFolders=" + plant.string() + "\nProgramFolders=" + (scratch / "none").string() +
         "\nProcesses=0\n";
}

std::int32_t call(const std::function<HRESULT(VARIANT*)>& method) {
  UniqueVariant result;
  EXPECT_EQ(method(result.put()), S_OK);
  return result->vt == VT_I4 ? result->lVal : -1;
}

TEST(CollectionEndToEndTest, PlantedFileReachesTheScriptAndTheArchiveTheServer) {
  if (!VX_BUILD_SIGNS) GTEST_SKIP() << "this build does not sign Sifter.exe (no VX_SIGNING_KEY)";
  ScratchFolder scratch;
  SifterInstall tool(scratch.path());
  const fs::path plant = plantDropper(scratch.path());
  fs::create_directories(scratch.path() / "certificates");
  fs::create_directories(scratch.path() / "received");
  makeCa(scratch.path() / "certificates", "trusted-ca");
  makeCa(scratch.path() / "certificates", "other-ca");
  makeServerCertificate(scratch.path() / "certificates", "trusted-ca");
  SubmissionServer server(scratch.path() / "certificates", scratch.path() / "received", 200);
  ASSERT_NE(server.port(), 0);
  auto settings = [&](const std::string& ca) {
    tool.writeSettings(plantOnlySettings(scratch.path(), plant) + "[Upload]\nAddress=https://127.0.0.1:" +
                       std::to_string(server.port()) + "/submit\nCAFile=" +
                       (scratch.path() / "certificates" / (ca + ".pem")).string() + "\n");
  };
  settings("trusted-ca");

  com_ptr<ComObject<CVxSuspScanDispImpl>> object;
  ASSERT_EQ(ComObject<CVxSuspScanDispImpl>::create(object), S_OK);
  Script script;
  const std::string program = tool.program().string();
  UniqueBstr path(platform::decodeUtf8(program.data(), program.size()));
  EXPECT_EQ(call([&](VARIANT* r) { return object->Configure(platform::automation::variantOfBstr(path.get()), r); }),
            0);
  EXPECT_EQ(call([&](VARIANT* r) {
              return object->RegisterCallback(platform::automation::variantOfDispatch(script.get()), r);
            }),
            0);

  EXPECT_EQ(call([&](VARIANT* r) { return object->Scan(r); }), 0);
  EXPECT_EQ(script.wait(true), 0u);
  UniqueVariant report;
  ASSERT_EQ(object->GetReport(report.put()), S_OK);
  ASSERT_EQ(report->vt, VT_BSTR);
  const std::wstring text(report->bstrVal, SysStringLen(report->bstrVal));
  pugi::xml_document document;
  ASSERT_TRUE(document.load_buffer(text.data(), text.size() * sizeof(wchar_t), pugi::parse_default,
                                   pugi::encoding_wchar));
  const pugi::xml_node files = document.child("Files");
  EXPECT_TRUE(files.find_child_by_attribute("File", "path", (plant / "dropper").c_str()))
      << platform::encodeUtf8(text.data(), text.size());
  const std::string archive = files.attribute("archive").value();
  const std::string archiveBytes = readBytes(archive);
  ASSERT_FALSE(archiveBytes.empty());

  EXPECT_EQ(call([&](VARIANT* r) { return object->UploadReport(r); }), 0);
  EXPECT_EQ(script.wait(false), 0u);
  EXPECT_EQ(readBytes(scratch.path() / "received" / "body-0.bin"), archiveBytes);

  // A server whose certificate the settings do not trust gets nothing.
  settings("other-ca");
  EXPECT_EQ(call([&](VARIANT* r) { return object->UploadReport(r); }), 0);
  EXPECT_EQ(script.wait(false), static_cast<ULONG>(sifter::ExitCode::CertificateUntrusted));
  EXPECT_FALSE(fs::exists(scratch.path() / "received" / "body-1.bin"));

  EXPECT_EQ(call([&](VARIANT* r) { return object->CleanSession(r); }), 0);
  EXPECT_FALSE(fs::exists(archive));
  EXPECT_EQ(call([&](VARIANT* r) { return object->Abort(r); }), 0);
}

}  // namespace

namespace {

// ovrascan collect over a copy of the tool: what it prints and its exit status,
// for a collection that finds a file and for a tool the signature test refuses.
TEST(CollectionEndToEndTest, OvrascanCollectListsFilesAndNamesFailures) {
  if (!VX_BUILD_SIGNS) GTEST_SKIP() << "this build does not sign Sifter.exe (no VX_SIGNING_KEY)";
  ScratchFolder scratch;
  SifterInstall tool(scratch.path());
  const fs::path plant = plantDropper(scratch.path());
  tool.writeSettings(plantOnlySettings(scratch.path(), plant));
  const fs::path saved = scratch.path() / "kept.zip";
  const auto collected = runToEnd(OVRASCAN_BINARY,
                                  {"collect", "--tool", tool.program().string(), "--save-archive", saved.string(),
                                   "--clean-session"},
                                  {});
  EXPECT_EQ(collected.exitCode, 1) << collected.err;
  EXPECT_NE(collected.out.find("executable in world-writable folder: " + (plant / "dropper").string()),
            std::string::npos)
      << collected.out;
  EXPECT_NE(collected.out.find("Session folder deleted"), std::string::npos);
  EXPECT_NE(collected.err.find("Sifter: "), std::string::npos) << "the collector's progress shows";
  EXPECT_EQ(runToEnd("/usr/bin/unzip", {"-tq", saved.string()}, {}).exitCode, 0);

  // The same program with one byte changed no longer passes its signature test.
  std::string bytes = readBytes(tool.program());
  bytes[bytes.size() / 2] ^= 1;
  const fs::path altered = scratch.path() / "bin" / "Altered.exe";
  writeBytes(altered, bytes, fs::perms::owner_all);
  const auto refused = runToEnd(OVRASCAN_BINARY, {"collect", "--tool", altered.string()}, {});
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_NE(refused.err.find("the collection failed: the collector's signature is not trusted"), std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find("(code 1392, 0x00000570)"), std::string::npos) << refused.err;
}

// Collection after collection, each ovrascan exits right after it lets go of the
// suspicious-scan object: none leaves its private folder in the temporary
// folder (a private one of the test's, which the collector also walks). A
// planted folder of another run there keeps its file, which no collection
// picks up, while each finds the plant.
TEST(CollectionEndToEndTest, RepeatedCollectionsLeaveNoPrivateFolderBehind) {
  if (!VX_BUILD_SIGNS) GTEST_SKIP() << "this build does not sign Sifter.exe (no VX_SIGNING_KEY)";
  ScratchFolder scratch;
  SifterInstall tool(scratch.path());
  const fs::path plant = plantDropper(scratch.path());
  const fs::path temporary = scratch.path() / "temporary";
  const fs::path foreign = temporary / "vxsifter.F0reig";
  fs::create_directories(foreign / "siftertmp1");
  fs::copy_file("/bin/true", foreign / "siftertmp1" / "staged");
  fs::permissions(foreign, fs::perms::owner_all);
  tool.writeSettings("[Scan]\nWritableFolders=" + plant.string() + ":" + temporary.string() +
                     "\nProgramFolders=" + (scratch.path() / "none").string() + "\nProcesses=0\n");
  const auto entries = [&] {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(temporary)) names.insert(entry.path().filename().string());
    return names;
  };
  const std::set<std::string> before{"vxsifter.F0reig"};
  constexpr int kRuns = 30;
  for (int run = 0; run < kRuns; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const auto collected = runToEnd(OVRASCAN_BINARY, {"collect", "--tool", tool.program().string()},
                                    {"TMPDIR=" + temporary.string()});
    ASSERT_EQ(collected.exitCode, 1) << collected.err;
    EXPECT_NE(collected.out.find((plant / "dropper").string()), std::string::npos) << collected.out;
    EXPECT_EQ(collected.out.find(foreign.string()), std::string::npos) << collected.out;
    ASSERT_EQ(entries(), before);
  }
  EXPECT_TRUE(fs::exists(foreign / "siftertmp1" / "staged"));
}

}  // namespace
