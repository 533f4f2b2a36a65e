#include "engine/VxAVEngineStatus.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <set>

namespace {

struct StatusCase {
  std::uint16_t status;
  std::uint32_t error;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << "status 0x" << std::hex << c.status; }

class EngineStatusMappingTest : public ::testing::TestWithParam<StatusCase> {};

TEST_P(EngineStatusMappingTest, GivesTheComponentCode) {
  EXPECT_EQ(mapEngineStatus(GetParam().status), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    BothRanges, EngineStatusMappingTest,
    ::testing::Values(StatusCase{0x0000, 0x00000000},  // success is no error
                      StatusCase{0x0001, 0x42032F11}, StatusCase{0x00F0, 0x42033000},
                      StatusCase{0xD0EE, 0x4203FFFE}, StatusCase{0xD0EF, 0x4203FFFF},
                      StatusCase{0xD0F0, 0x42020000}, StatusCase{0xD0F1, 0x42020001},
                      StatusCase{0xFFFF, 0x42022F0F}));

TEST(EngineStatusMapping, EveryFailureGetsADistinctCodeInTheEngineRanges) {
  std::set<std::uint32_t> codes;
  for (std::uint32_t status = 1; status <= 0xFFFF; ++status) {
    const std::uint32_t error = mapEngineStatus(static_cast<std::uint16_t>(status));
    const bool low = error >= 0x42032F11u && error <= 0x4203FFFFu;
    const bool high = error >= 0x42020000u && error <= 0x42022F0Fu;
    ASSERT_TRUE(low || high) << "status " << status << " gave " << error;
    codes.insert(error);
  }
  EXPECT_EQ(codes.size(), 0xFFFFu);
}

}  // namespace
