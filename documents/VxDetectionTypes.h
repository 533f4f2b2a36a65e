#pragma once
// The detection keywords of the scan configuration and the engine virus-type
// codes each stands for. Keywords are matched exactly (case-sensitive).
//
// Stateless; safe from any thread.
#include <cstdint>
#include <set>
#include <string_view>

class VxDetectionTypes {
 public:
  // Adds the codes of keyword to codes; false (nothing added) for a keyword
  // that is not in the table, the empty one included.
  static bool addCodes(std::string_view keyword, std::set<std::uint32_t>& codes);
};
