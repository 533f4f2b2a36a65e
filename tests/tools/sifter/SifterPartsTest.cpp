// The tool's parts that decide names and times, on their own.
#include <gtest/gtest.h>

#include "tools/sifter/FolderScans.h"
#include "tools/sifter/PathText.h"
#include "tools/sifter/ProcessScan.h"

namespace {

using namespace sifter;

TEST(SifterPathTextTest, EveryByteSequenceRoundTripsThroughTheReportEscape) {
  const std::vector<std::string> paths{
      "/tmp/plain",
      "/tmp/caf\xC3\xA9 \xF0\x9F\x98\x80",
      std::string("/tmp/nul\0byte", 13),
      "/tmp/bad\xFF\xFE",
      "/tmp/\\x41 literal escape",
      "/tmp/overlong\xC0\xAF",
      "/tmp/surrogate\xED\xA0\x80",
      "/tmp/cut\xE2\x82",
      "/tmp/controls\x01\x1F\x7F\t\n\r",
      "/tmp/nonchar\xEF\xBF\xBE",
  };
  for (const auto& path : paths) {
    const auto escaped = escapePathForXml(path);
    EXPECT_TRUE(isXmlText(escaped)) << escaped;
    EXPECT_EQ(unescapePath(escaped), path) << escaped;
  }
  EXPECT_EQ(escapePathForXml("/tmp/a\xFF\\b"), "/tmp/a\\xFF\\\\b");
  EXPECT_EQ(unescapePath("\\q"), std::nullopt);
  EXPECT_EQ(unescapePath("trailing\\"), std::nullopt);
}

TEST(SifterPathTextTest, ArchiveNamesAreRelativePrintableAndStayInside) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"/tmp/x", "tmp/x"},
      {"//tmp//x/", "tmp/x"},
      {"/tmp/../etc/passwd", "tmp/%2E%2E/etc/passwd"},
      {"/tmp/./x", "tmp/%2E/x"},
      {"/tmp/a\\b:c*?[", "tmp/a%5Cb%3Ac%2A%3F%5B"},
      {"/tmp/\xFF\x01%", "tmp/%FF%01%25"},
      {"/memfd:x (deleted)", "memfd%3Ax %28deleted%29"},
  };
  for (const auto& [path, name] : cases) EXPECT_EQ(archiveEntryName(path), name) << path;
}

TEST(SifterFolderTest, BelowFolderMeansBelowAComponentBoundary) {
  EXPECT_TRUE(isBelowFolder("/tmp/x", "/tmp"));
  EXPECT_TRUE(isBelowFolder("/tmp/x", "/tmp/"));
  EXPECT_TRUE(isBelowFolder("/x", "/"));
  EXPECT_FALSE(isBelowFolder("/tmpfoo/x", "/tmp"));
  EXPECT_FALSE(isBelowFolder("/tmp", "/tmp"));
}

TEST(SifterFolderTest, RecentMeansWithinTheWindowOrInTheFuture) {
  const std::time_t now = 1'800'000'000;
  const std::time_t day = 24 * 60 * 60;
  EXPECT_TRUE(isRecentChange(now, now, 7));
  EXPECT_TRUE(isRecentChange(now - 7 * day, now, 7));
  EXPECT_FALSE(isRecentChange(now - 7 * day - 1, now, 7));
  EXPECT_TRUE(isRecentChange(now + day, now, 7));
  EXPECT_FALSE(isRecentChange(now - 1, now, 0));
}

}  // namespace
