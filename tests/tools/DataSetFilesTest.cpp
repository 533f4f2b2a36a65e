// Error lines about the engine's start-up name the data files concerned.
#include "tools/ovrascan/DataSetFiles.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "engine/VxAVEngineABI.h"
#include "foundation/VxErrorCodes.h"

namespace {

namespace fs = std::filesystem;

TEST(DataSetFilesTest, NamesTheFileOrTheSetAnEngineStatusConcerns) {
  std::string pattern = (fs::path(::testing::TempDir()) / "dataset-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::string folder = pattern;
  std::ofstream(folder + "/AVScanner.ini") << "[coredatset]\nav_names=n.dat\nav_scan=s.yar\nav_clean=c.dat\n";
  const struct {
    std::uint32_t code;
    std::string concerned;
  } cases[] = {
      {VX_E_ENGINE_STATUS_BASE + AV_STATUS_NAMES_MALFORMED + 3, "data file " + folder + "/n.dat"},
      {VX_E_ENGINE_STATUS_BASE + AV_STATUS_SCAN_MALFORMED + 7, "data file " + folder + "/s.yar"},
      {VX_E_ENGINE_STATUS_BASE + AV_STATUS_CLEAN_MALFORMED, "data file " + folder + "/c.dat"},
      {VX_E_ENGINE_STATUS_BASE + AV_STATUS_DATA_MISSING,
       "data set " + folder + "/AVScanner.ini: " + folder + "/n.dat, " + folder + "/s.yar, " + folder + "/c.dat"},
      {VX_E_ENGINE_STATUS_BASE + AV_STATUS_DATA_FILE(AV_DATA_FILE_NAMES, AV_DATA_FILE_UNTYPED_DETECTION),
       "data file " + folder + "/n.dat"},
      {VX_E_ENGINE_STATUS_BASE + AV_STATUS_DATA_FILE(AV_DATA_FILE_SCAN, AV_DATA_FILE_EMPTY),
       "data file " + folder + "/s.yar"},
      {VX_E_ENGINE_STATUS_BASE + AV_STATUS_DATA_FILE(AV_DATA_FILE_CLEAN, AV_DATA_FILE_MISSING),
       "data file " + folder + "/c.dat"},
      {VX_E_ENGINE_STATUS_BASE + AV_STATUS_OUT_OF_MEMORY, ""},
      {13, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(DataSetFiles::concerned(folder, c.code), c.concerned) << c.code;
  fs::remove_all(folder);
}

}  // namespace
