// Error lines name the code and what it means.
#include <gtest/gtest.h>

#include "tools/ovrascan/Diagnostics.h"

namespace {

TEST(Diagnostics, CodesCarryTheirMeaning) {
  const struct {
    std::uint32_t code;
    const char* text;
  } cases[] = {
      {13, "13 (0x0000000D): invalid data (a missing or unusable configuration, or nothing initialised)"},
      {0x42032B15, "1107503893 (0x42032B15): unrecognised detection keyword or source type"},
      {0x42032F10 + 0x0102, "1107505170 (0x42033012): scan engine: a data file is missing or unreadable"},
      {0x42032F10 + 0x5007, "1107525399 (0x42037F17): scan engine: scan data file malformed at line 7"},
      {0x42032F10 + 0x0200, "1107505424 (0x42033110): scan engine status 512"},
      {0x42032F10 + 0x0225, "1107505461 (0x42033135): scan engine: scan data file (av_scan): empty"},
      {0x42032F10 + 0x0213, "1107505443 (0x42033123): scan engine: names data file (av_names): not a regular file "
                            "(a folder, link, FIFO or device)"},
      {0x42032F10 + 0x0231, "1107505473 (0x42033141): scan engine: clean data file (av_clean): missing"},
      {12345, "12345 (0x00003039)"},
  };
  for (const auto& c : cases) EXPECT_EQ(Diagnostics::codeText(c.code), c.text);
}

}  // namespace
