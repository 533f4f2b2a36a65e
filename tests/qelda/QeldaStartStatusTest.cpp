// A data set that cannot serve fails the start with a status that names the file
// and the reason, never as a malformed file and never as a start that scans
// nothing or reports detections under a made-up type.
#include "engine/VxAVEngineABI.h"
#include "tests/qelda/QeldaEngineFixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace {

using namespace qeldatest;
namespace fs = std::filesystem;

constexpr const char* kRule = "rule Found { strings: $a = \"found\" condition: $a }\n";

class QeldaStartStatus : public QeldaEngine {
 protected:
  // A folder with a working data set, then changed by the case.
  fs::path dataSet(const std::function<void(const fs::path&)>& change) {
    const fs::path folder = dir / ("set" + std::to_string(++sets_));
    fs::create_directories(folder);
    std::ofstream(folder / "scan.yar") << kRule;
    std::ofstream(folder / "names.dat") << "version 1 0\nFound 3 1\n";
    std::ofstream(folder / "clean.dat") << "* none\n";
    change(folder);
    return folder;
  }
  static void replace(const fs::path& file, const std::string& text) {
    fs::remove_all(file);
    std::ofstream(file) << text;
  }

 private:
  int sets_ = 0;
};

TEST_F(QeldaStartStatus, EachUnusableDataSetHasItsOwnStatus) {
  const auto scanFile = [](const fs::path& folder) { return folder / "scan.yar"; };
  // Reached without the /proc/self link, which a data file's path may not hold.
  const std::string procMem = "/proc/" + std::to_string(::getpid()) + "/mem";
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> change;
    const char* names;
    std::uint16_t status;
  } cases[] = {
      {"working set", [](const fs::path&) {}, "names.dat", AV_STATUS_OK},
      {"empty rules", [&](const fs::path& f) { replace(scanFile(f), ""); }, "names.dat",
       AV_STATUS_DATA_FILE(AV_DATA_FILE_SCAN, AV_DATA_FILE_EMPTY)},
      {"only comments", [&](const fs::path& f) { replace(scanFile(f), "// none yet\n"); }, "names.dat",
       AV_STATUS_DATA_FILE(AV_DATA_FILE_SCAN, AV_DATA_FILE_NO_REPORTABLE_RULE)},
      {"only private rules",
       [&](const fs::path& f) { replace(scanFile(f), "private rule Hidden { condition: true }\n"); }, "names.dat",
       AV_STATUS_DATA_FILE(AV_DATA_FILE_SCAN, AV_DATA_FILE_NO_REPORTABLE_RULE)},
      {"missing rules", [&](const fs::path& f) { fs::remove(scanFile(f)); }, "names.dat",
       AV_STATUS_DATA_FILE(AV_DATA_FILE_SCAN, AV_DATA_FILE_MISSING)},
      {"rules are a folder",
       [&](const fs::path& f) {
         fs::remove(scanFile(f));
         fs::create_directory(scanFile(f));
       },
       "names.dat", AV_STATUS_DATA_FILE(AV_DATA_FILE_SCAN, AV_DATA_FILE_NOT_REGULAR)},
      {"rules are a FIFO",
       [&](const fs::path& f) {
         fs::remove(scanFile(f));
         ASSERT_EQ(::mkfifo(scanFile(f).c_str(), 0600), 0);
       },
       "names.dat", AV_STATUS_DATA_FILE(AV_DATA_FILE_SCAN, AV_DATA_FILE_NOT_REGULAR)},
      {"rules are a link",
       [&](const fs::path& f) {
         fs::rename(scanFile(f), f / "real.yar");
         fs::create_symlink(f / "real.yar", scanFile(f));
       },
       "names.dat", AV_STATUS_DATA_FILE(AV_DATA_FILE_SCAN, AV_DATA_FILE_NOT_REGULAR)},
      {"malformed rules", [&](const fs::path& f) { replace(scanFile(f), "rule {\n"); }, "names.dat",
       static_cast<std::uint16_t>(AV_STATUS_SCAN_MALFORMED + 1)},
      {"missing names key", [](const fs::path&) {}, "", AV_STATUS_DATA_FILE(AV_DATA_FILE_NAMES, AV_DATA_FILE_MISSING)},
      {"unreadable names (every read fails)", [](const fs::path&) {}, procMem.c_str(),
       AV_STATUS_DATA_FILE(AV_DATA_FILE_NAMES, AV_DATA_FILE_UNREADABLE)},
      {"names larger than the cap",
       [](const fs::path& f) { ASSERT_EQ(::truncate((f / "names.dat").c_str(), 17 << 20), 0); }, "names.dat",
       AV_STATUS_DATA_FILE(AV_DATA_FILE_NAMES, AV_DATA_FILE_TOO_LARGE)},
      {"missing clean file", [](const fs::path& f) { fs::remove(f / "clean.dat"); }, "names.dat",
       AV_STATUS_DATA_FILE(AV_DATA_FILE_CLEAN, AV_DATA_FILE_MISSING)},
      {"detection without a virus type",
       [](const fs::path& f) { replace(f / "names.dat", "version 1 0\nOther 3 1\n"); }, "names.dat",
       AV_STATUS_DATA_FILE(AV_DATA_FILE_NAMES, AV_DATA_FILE_UNTYPED_DETECTION)},
      {"the names file's default types it",
       [](const fs::path& f) { replace(f / "names.dat", "version 1 0\nOther 3 1\n* 4 1\n"); }, "names.dat",
       AV_STATUS_OK},
      {"metadata types it",
       [&](const fs::path& f) {
         replace(scanFile(f), "rule Typed { meta: virus_type = 2 condition: filesize > 0 }\n");
       },
       "names.dat", AV_STATUS_OK},
  };
  for (const auto& c : cases) {
    const fs::path folder = dataSet(c.change);
    EXPECT_EQ(start(false, c.names, folder.string()), c.status) << c.what;
    if (handle != 0) lib.close(handle);
    handle = 0;
  }
}

// Whoever can write the data set can blind every scan, or hand libyara's loader
// of compiled rules crafted input: a data file another user could have written
// is refused, and the status names it and why.
TEST_F(QeldaStartStatus, DataFilesOthersCouldHaveWrittenAreRefused) {
  const auto scanFile = [](const fs::path& folder) { return folder / "scan.yar"; };
  const bool root = ::geteuid() == 0;
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> change;
    std::uint16_t status;
    bool needsRoot;
  } const cases[] = {
      {"rules writable by others", [&](const fs::path& f) { ::chmod(scanFile(f).c_str(), 0646); },
       AV_STATUS_DATA_FILE(AV_DATA_FILE_SCAN, AV_DATA_FILE_WRITABLE_BY_OTHERS), false},
      {"rules writable by their group", [&](const fs::path& f) { ::chmod(scanFile(f).c_str(), 0664); },
       AV_STATUS_DATA_FILE(AV_DATA_FILE_SCAN, AV_DATA_FILE_WRITABLE_BY_OTHERS), false},
      {"rules of another user", [&](const fs::path& f) { ASSERT_EQ(::chown(scanFile(f).c_str(), 65534, 65534), 0); },
       AV_STATUS_DATA_FILE(AV_DATA_FILE_SCAN, AV_DATA_FILE_FOREIGN_OWNER), true},
      {"compiled rules of another user",
       [&](const fs::path& f) {
         replace(scanFile(f), std::string("YARA") + std::string(60, '\x01'));
         ASSERT_EQ(::chown(scanFile(f).c_str(), 65534, 65534), 0);
       },
       AV_STATUS_DATA_FILE(AV_DATA_FILE_SCAN, AV_DATA_FILE_FOREIGN_OWNER), true},
      {"settings writable by others",
       [](const fs::path& f) {
         std::ofstream(f / "AVScanner.ini") << "[cache]\nenabled=0\n";
         ::chmod((f / "AVScanner.ini").c_str(), 0666);
       },
       AV_STATUS_DATA_FILE(AV_DATA_FILE_SETTINGS, AV_DATA_FILE_WRITABLE_BY_OTHERS), false},
      {"the data set's folder writable by others", [](const fs::path& f) { ::chmod(f.c_str(), 0777); },
       AV_STATUS_DATA_FILE(AV_DATA_FILE_NAMES, AV_DATA_FILE_WRITABLE_BY_OTHERS), false},
      {"a sticky folder above files of ours starts", [](const fs::path& f) { ::chmod(f.c_str(), 01777); },
       AV_STATUS_OK, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.needsRoot && !root) continue;
    const fs::path folder = dataSet([](const fs::path& f) { ::chmod(f.c_str(), 0755); });
    c.change(folder);
    EXPECT_EQ(start(false, "names.dat", folder.string()), c.status);
    if (handle != 0) lib.close(handle);
    handle = 0;
    ::chmod(folder.c_str(), 0755);
  }
}

TEST_F(QeldaStartStatus, UnreadableNamesFileIsNotMalformed) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads any file";
  const fs::path folder = dataSet([](const fs::path& f) { fs::permissions(f / "names.dat", fs::perms::none); });
  EXPECT_EQ(start(false, "names.dat", folder.string()), AV_STATUS_DATA_FILE(AV_DATA_FILE_NAMES, AV_DATA_FILE_UNREADABLE));
}

}  // namespace
