/*
 * Reading one data file of a data set: a regular file that no other user could
 * have written (QeldaTrustedDataFile.h), reached without following a symbolic
 * link in any component, never a device or FIFO, read whole with every read
 * error checked and a size cap.
 *
 * Stateless and safe from any thread.
 */
#ifndef QELDA_DATA_FILE_H
#define QELDA_DATA_FILE_H

#include <cstdint>
#include <optional>
#include <string>

namespace qelda {

// Rule sets of the field run to tens of megabytes; the tables are small.
inline constexpr std::uint64_t kLargestRulesFile = 256ull << 20;
inline constexpr std::uint64_t kLargestTableFile = 16ull << 20;

struct DataFileText {
  std::optional<std::string> text;
  std::uint16_t reason = 0;  // AV_DATA_FILE_* when there is no text
};

DataFileText readDataFile(const std::string& path, std::uint64_t largest);

}  // namespace qelda

#endif
