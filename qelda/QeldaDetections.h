/*
 * What each reportable rule of a rule set reports when it matches: the detection
 * name (the rule's "name" metadata, else its identifier), its virus type (the
 * "virus_type" metadata, else the first names-file pattern that matches the name)
 * and its detect type ("detect_type", else the names entry, else 1).
 *
 * Worked out once when the data set is built, so that a rule set with a
 * detection of unknown type is refused at start instead of reported under a
 * made-up type, and a match costs a table lookup. Immutable after building and
 * safe to read from any number of threads.
 */
#ifndef QELDA_DETECTIONS_H
#define QELDA_DETECTIONS_H

#include "qelda/QeldaDataTables.h"

#include <cstdint>
#include <string>
#include <vector>

struct YR_RULE;
struct YR_RULES;

namespace qelda {

struct Detection {
  std::string name;
  std::uint16_t virusType = 0;
  std::uint16_t detectType = 1;
};

class DetectionTable {
 public:
  // The table, or the start status that refuses the rule set: no reportable
  // (non-private) rule, or a detection whose virus type nothing names.
  static DetectionTable build(const YR_RULES& rules, const NamesTable& names, std::uint16_t& status);

  // The detection of a rule of the rule set the table was built from.
  const Detection& of(const YR_RULE* rule) const;
  // A detection's place in the table, which stays the same for the same rule set,
  // so that a remembered verdict can name its detections; and back.
  std::uint32_t indexOf(const Detection& detection) const;
  // Null for an index the table does not hold.
  const Detection* at(std::uint32_t index) const;
  std::size_t reportableRules() const { return reportable_; }

 private:
  const YR_RULE* first_ = nullptr;
  std::vector<Detection> byIndex_;
  std::size_t reportable_ = 0;
};

}  // namespace qelda

#endif
