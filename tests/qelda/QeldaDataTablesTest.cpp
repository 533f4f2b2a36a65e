#include "qelda/QeldaDataTables.h"

#include <gtest/gtest.h>

namespace {

TEST(QeldaDataTables, NamesParseVersionPatternsAndFaultLines) {
  const auto good = qelda::parseNamesTable("# c\nversion 3 7\nA.* 1 2\nB 5 1 # tail\n");
  ASSERT_TRUE(good.table);
  EXPECT_EQ(good.table->versionMajor, 3u);
  EXPECT_EQ(good.table->versionMinor, 7u);
  ASSERT_NE(good.table->find("A.x"), nullptr);
  EXPECT_EQ(good.table->find("A.x")->detectType, 2);
  EXPECT_EQ(good.table->find("Bx"), nullptr);
  struct Case { const char* text; std::uint32_t line; } cases[] = {
      {"version 1 0\nA 70000 1\n", 2}, {"A 1 1\n", 1}, {"version 1 0\nversion 1 0\n", 2},
      {"version 1\n", 1}, {"version 1 0\n\nA x 1\n", 3}, {"", 1}};
  for (const auto& c : cases) {
    const auto outcome = qelda::parseNamesTable(c.text);
    EXPECT_FALSE(outcome.table) << c.text;
    EXPECT_EQ(outcome.faultLine, c.line) << c.text;
  }
}

TEST(QeldaDataTables, CleanActionsDefaultAndFaults) {
  const auto good = qelda::parseCleanTable("6 delete\n0 quarantine\n* none\n");
  ASSERT_TRUE(good.table);
  EXPECT_EQ(good.table->actionFor(6), qelda::CleanAction::Delete);
  EXPECT_EQ(good.table->actionFor(0), qelda::CleanAction::Quarantine);
  EXPECT_EQ(good.table->actionFor(9), qelda::CleanAction::None);
  for (const char* bad : {"6 burn\n", "6 delete\n6 none\n", "x delete\n", "6\n"}) {
    EXPECT_FALSE(qelda::parseCleanTable(bad).table) << bad;
  }
}

}  // namespace
