// A collection or an upload that failed is told in words, from one table.
#include <gtest/gtest.h>

#include <set>

#include "tools/ovrascan/CollectorReport.h"
#include "tools/sifter/SifterExitCode.h"

namespace {

using CollectorFailure::Source;

TEST(CollectorFailure, CodesReadAsSentences) {
  const struct {
    std::uint32_t code;
    const char* text;
  } cases[] = {
      {1392, "the collector's signature is not trusted, or the collector could not be opened to test it "
             "(code 1392, 0x00000570)"},
      {93, "the collector could not write its archive or report into its session folder (exit code 93)"},
      {97, "the submission server's certificate is not trusted (exit code 97)"},
      {64, "the collector refused its command line as bad usage (exit code 64)"},
      {130, "the collector was interrupted (SIGINT, exit status 130)"},
      {137, "the collector was killed, for example by the out-of-memory killer (SIGKILL, exit status 137)"},
      {129, "the collector was ended by a signal (SIGHUP, exit status 129)"},
      {170, "the collector's program file is open for writing, so it cannot be run (code 170, 0x000000AA)"},
      {1359, "no session folder could be made for the collector in the temporary folder (code 1359, 0x0000054F)"},
      {1805, "there is no archive to upload: no collection of this session named one (code 1805, 0x0000070D)"},
      {2, "the collector, or something its start needs such as its folder or its program loader, is missing "
          "(code 2, 0x00000002)"},
      {7, "the collector ended with code 7 (0x00000007)"},
      {13, "the collector ended with code 13 (0x0000000D): invalid data (a missing or unusable configuration, or "
           "nothing initialised)"},
  };
  for (const auto& c : cases) EXPECT_EQ(CollectorFailure::describe(c.code), c.text) << c.code;
}

// The table stays whole as the collector grows: every exit code it fails with
// has its row, read as the collector's, and no code is the success of 0.
TEST(CollectorFailure, EveryFailingExitCodeOfTheCollectorHasItsRow) {
  for (const auto& known : sifter::kExitCodeDescriptions) {
    const auto code = static_cast<std::uint32_t>(sifter::toInt(known.code));
    if (known.code == sifter::ExitCode::Success) continue;
    const CollectorFailure::Entry* row = nullptr;
    for (const auto& entry : CollectorFailure::table()) {
      if (code >= entry.first && code <= entry.last) {
        row = &entry;
        break;
      }
    }
    ASSERT_NE(row, nullptr) << known.text;
    EXPECT_EQ(row->source, Source::Collector) << known.text;
  }
  std::set<std::uint32_t> singles;
  for (const auto& entry : CollectorFailure::table()) {
    EXPECT_GT(entry.first, 0u) << entry.sentence;
    EXPECT_LE(entry.first, entry.last) << entry.sentence;
    EXPECT_FALSE(entry.sentence.empty());
    if (entry.first == entry.last) {
      EXPECT_TRUE(singles.insert(entry.first).second) << "twice: " << entry.first;
    }
  }
}

}  // namespace
