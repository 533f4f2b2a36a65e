// ovrascan over the modules that malware hides from a scan by path: deleted after
// the start, run from a memfd, replaced by a rename while running, mapped by many
// processes, or mapped in another mount namespace. Each test starts the processes
// that hold them, with the engine's trojan marker in the hidden module only.
#include <gtest/gtest.h>
#include <pugixml.hpp>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/HeldModule.h"
#include "tests/tools/OvrascanProcessScanTest.h"

namespace {

using namespace vxtest;

constexpr char kAccessDenied[] = "permission to open or read it was denied (scan error 5)";

using OvrascanHiddenModulesTest = OvrascanProcessScanTest;

class OvrascanHiddenKindTest : public OvrascanHiddenModulesTest,
                               public ::testing::WithParamInterface<HeldModule::Kind> {};

TEST_P(OvrascanHiddenKindTest, FindsTheMarkedModuleByWhatTheProcessMaps) {
  const HeldModule held(GetParam(), folder_, "evil-module", marked(), VX_PROBE_MODULE_A);
  ASSERT_EQ(held.failure(), "");
  const auto result = scan();
  EXPECT_EQ(result.exitCode, kFound) << result.out << result.err;
  expectInfected(result, held.reportName(), held.pids());
  // Whatever the path holds now (a clean replacement, or nothing) is not the module.
  EXPECT_FALSE(item(held.path().string()));
}

INSTANTIATE_TEST_SUITE_P(Kinds, OvrascanHiddenKindTest,
                         ::testing::ValuesIn(HeldModule::kKinds),
                         [](const auto& info) { return HeldModule::kindName(info.param); });

TEST_F(OvrascanHiddenModulesTest, OneDeletedFileOfManyProcessesIsScannedOnceAndEveryHolderIsListed) {
  const HeldModule held(HeldModule::Kind::DeletedProgram, folder_, "shared-evil", marked(), {}, 6);
  ASSERT_EQ(held.failure(), "");
  const auto result = scan();
  EXPECT_EQ(result.exitCode, kFound) << result.out << result.err;
  const std::vector<std::string> items = itemsStartingWith(held.path().string());
  ASSERT_EQ(items.size(), 1u) << result.out;
  const pid_t first = *std::min_element(held.pids().begin(), held.pids().end());
  EXPECT_EQ(items.front(), held.path().string() + " (deleted) [pid " + std::to_string(first) + ", inode " +
                              std::to_string(held.inode()) + "]");
  expectInfected(result, items.front(), held.pids());
}

// A deleted module has no file that could be removed: it is never repairable,
// and cleaning it again and again never piles up copies of it.
TEST_F(OvrascanHiddenModulesTest, ADeletedModuleIsNotRepairableAndRepeatedCleansKeepNoMoreThanOneCopy) {
  const HeldModule held(HeldModule::Kind::DeletedProgram, folder_, "undeletable", marked());
  ASSERT_EQ(held.failure(), "");
  const fs::path quarantine = folder_ / "machine" / "Vexora" / "Quarantine";
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    const auto result = scan({}, {"--clean"});
    EXPECT_EQ(result.exitCode, kFound) << result.out << result.err;
    const pugi::xml_node found = item(held.reportName());
    ASSERT_TRUE(found) << result.out;
    EXPECT_STREQ(found.attribute("IsInfected").value(), "1");
    EXPECT_STREQ(found.attribute("isRepairable").value(), "0");
    EXPECT_STRNE(found.attribute("IsRepaired").value(), "1");
  }
  std::size_t entries = 0;
  if (fs::exists(quarantine)) {
    for (const auto& entry : fs::directory_iterator(quarantine)) entries += entry.path().extension() == ".qrec";
  }
  EXPECT_LE(entries, 1u);
}

// Without CAP_SYS_ADMIN (and CAP_CHECKPOINT_RESTORE) the kernel refuses its
// handles to mapped files: the modules reached only through them are reported,
// not scanned, with the reason, and the exit status says something was missed.
TEST_F(OvrascanHiddenModulesTest, WithoutThePrivilegeTheHiddenModulesAreReportedAsNotScanned) {
  const HeldModule deleted(HeldModule::Kind::DeletedProgram, folder_, "unreadable-evil", marked());
  const HeldModule memory(HeldModule::Kind::MemfdProgram, folder_, "unreadable-payload", marked());
  ASSERT_EQ(deleted.failure(), "");
  ASSERT_EQ(memory.failure(), "");
  const auto result = scan({"/usr/bin/setpriv", "--bounding-set=-sys_admin,-checkpoint_restore",
                            "--inh-caps=-sys_admin,-checkpoint_restore"});
  EXPECT_EQ(result.exitCode, kError) << result.out << result.err;
  EXPECT_TRUE(contains(result.out, "Objects not scanned:\n")) << result.out;
  for (const HeldModule* held : {&deleted, &memory}) {
    const pugi::xml_node found = item(held->reportName());
    ASSERT_TRUE(found) << held->reportName() << "\n" << result.out;
    EXPECT_STREQ(found.attribute("IsScanned").value(), "0");
    EXPECT_STREQ(found.attribute("ScanError").value(), "5");
    EXPECT_TRUE(contains(result.out, "  " + held->reportName() + ": " + kAccessDenied + "\n")) << result.out;
  }
  EXPECT_FALSE(contains(result.out, "Not scanned:     0\n")) << result.out;
}

// A process in a mount namespace of its own, with the marked library bound over
// a path that on the host holds a clean one; both views are held mapped.
TEST_F(OvrascanHiddenModulesTest, AContainersModuleIsScannedInsideItsRoot) {
  const fs::path library = folder_ / "lib" / "libshared.so";
  const fs::path infected = folder_ / "infected.so";
  fs::create_directories(library.parent_path());
  fs::copy_file(VX_PROBE_MODULE_A, library);
  { std::ofstream(infected, std::ios::binary) << readBytes(VX_PROBE_MODULE_A) + marked(); }
  // The holder announces itself with a line once the library is loaded in it, then
  // waits in the open of a FIFO that nobody writes: one process, gone when killed.
  const fs::path fifo = folder_ / "never-written";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string hold =
      "LD_PRELOAD=" + library.string() + " exec /bin/sh -c 'echo; read line < " + fifo.string() + "'";
  ChildProcess host("/bin/sh", {"-c", hold}, {});
  ChildProcess container("/usr/bin/unshare",
                         {"-m", "--propagation", "private", "/bin/sh", "-c",
                          "mount --bind " + infected.string() + " " + library.string() + " && " + hold},
                         {});
  ASSERT_TRUE(host.started() && container.started());
  const auto loaded = [](const std::string& line) { return line.ends_with("R"); };
  ASSERT_TRUE(host.waitForLine(ChildProcess::Stream::Out, loaded));
  ASSERT_TRUE(container.waitForLine(ChildProcess::Stream::Out, loaded));

  const auto result = scan();
  EXPECT_EQ(result.exitCode, kFound) << result.out << result.err;
  const pugi::xml_node clean = item(library.string());
  ASSERT_TRUE(clean) << result.out;
  EXPECT_STREQ(clean.attribute("IsInfected").value(), "0");
  const std::vector<std::string> inside = itemsStartingWith(library.string() + " [pid ");
  ASSERT_EQ(inside.size(), 1u) << result.out;
  const std::string pid = inside.front().substr(library.string().size() + 6,
                                               inside.front().find(',') - library.string().size() - 6);
  EXPECT_EQ(inside.front(), library.string() + " [pid " + pid + ", container root /proc/" + pid + "/root]");
  const pugi::xml_node found = item(inside.front());
  EXPECT_STREQ(found.attribute("IsInfected").value(), "1");
  EXPECT_STREQ(found.attribute("virus_name").value(), "Qelda.Test.Trojan");
  // The host's file is untouched by the scan and still clean.
  EXPECT_EQ(readBytes(library), readBytes(VX_PROBE_MODULE_A));
}

// A process whose library was covered, after it loaded it, by a clean file bound
// over its path: the path names another file than the one it runs.
TEST_F(OvrascanHiddenModulesTest, AModuleWhosePathNowNamesAnotherFileIsScannedAsMapped) {
  const fs::path library = folder_ / "libcovered.so";
  const fs::path clean = folder_ / "clean.so";
  fs::copy_file(VX_PROBE_MODULE_A, clean);
  { std::ofstream(library, std::ios::binary) << readBytes(VX_PROBE_MODULE_A) + marked(); }
  const fs::path fifo = folder_ / "never-written";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ChildProcess covered("/usr/bin/unshare",
                       {"-m", "--propagation", "private", "/bin/sh", "-c",
                        "LD_PRELOAD=" + library.string() + " exec /bin/sh -c 'mount --bind " + clean.string() + " " +
                            library.string() + " && echo covered && read line < " + fifo.string() + "'"},
                       {});
  ASSERT_TRUE(covered.started());
  ASSERT_TRUE(covered.waitForLine(ChildProcess::Stream::Out,
                                  [](const std::string& line) { return line.ends_with("covered"); }));

  const auto result = scan();
  EXPECT_EQ(result.exitCode, kFound) << result.out << result.err;
  const std::vector<std::string> names = itemsStartingWith(library.string() + " (replaced) [pid ");
  ASSERT_EQ(names.size(), 1u) << result.out;
  const pugi::xml_node found = item(names.front());
  EXPECT_STREQ(found.attribute("IsInfected").value(), "1");
  EXPECT_STREQ(found.attribute("virus_name").value(), "Qelda.Test.Trojan");
  EXPECT_TRUE(itemsStartingWith(library.string() + " [pid ").empty()) << result.out;
}

}  // namespace
