#include "documents/VxDetectionTypes.h"

#include <array>

namespace {

struct DetectionKeyword {
  std::string_view keyword;
  std::array<std::uint32_t, 4> codes;
  std::size_t count;
};

constexpr std::uint32_t kVirus = 0;
constexpr std::uint32_t kTrojan = 1;
constexpr std::uint32_t kTest = 6;

const std::array<DetectionKeyword, 4> kTable{{
    {"virus", {kVirus}, 1},
    {"trojan", {kTrojan}, 1},
    {"pup", {5, 10, 12, 13}, 4},
    {"test", {kTest}, 1},
}};

}  // namespace

bool VxDetectionTypes::addCodes(std::string_view keyword, std::set<std::uint32_t>& codes) {
  for (const DetectionKeyword& entry : kTable) {
    if (entry.keyword == keyword) {
      codes.insert(entry.codes.begin(), entry.codes.begin() + entry.count);
      return true;
    }
  }
  return false;
}
