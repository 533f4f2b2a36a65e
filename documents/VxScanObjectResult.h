#pragma once
// CVxScanObjectResult: what the engine reported about one object. Filled by the
// object scanner, merged by the kernel by itemName, written by the report.
#include <cstdint>
#include <string>

struct CVxScanObjectResult {
  std::uint32_t reserved = 0;
  std::uint16_t itemType = 0;
  // The whole size: files of 4 GiB and more are scanned too.
  std::uint64_t itemSize = 0;
  std::string itemName;
  std::uint8_t IsScanned = 0;
  std::uint16_t ObjectSummary = 1;
  std::uint16_t ScanError = 0;
  std::uint8_t IsInfected = 0;
  std::uint16_t detect_type = 0;
  std::uint16_t virus_type = 6;
  std::string virus_name;
  std::uint8_t isRepairable = 0;
  std::uint8_t IsRepairAttempted = 0;
  std::uint8_t IsRepaired = 0;
  std::uint16_t action_taken = 0;
  std::uint16_t nesting_deleted = 0;
  std::uint32_t PassCount = 0;
  std::uint32_t ObjectHashType = 0xFFFF;
  std::string ObjectHash;
};
