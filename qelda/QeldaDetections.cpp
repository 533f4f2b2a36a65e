#include "qelda/QeldaDetections.h"

#include "engine/VxAVEngineABI.h"

#include <yara.h>

#include <cstring>
#include <optional>

namespace qelda {
namespace {

struct RuleMetadata {
  std::optional<std::string> name;
  std::optional<std::uint16_t> virusType;
  std::optional<std::uint16_t> detectType;
};

std::optional<std::uint16_t> typeValue(const YR_META* meta) {
  if (meta->type != META_TYPE_INTEGER || meta->integer < 0 || meta->integer > 0xFFFF) return std::nullopt;
  return static_cast<std::uint16_t>(meta->integer);
}

RuleMetadata metadataOf(const YR_RULE* rule) {
  RuleMetadata found;
  const YR_META* meta = nullptr;
  yr_rule_metas_foreach(rule, meta) {
    if (std::strcmp(meta->identifier, "name") == 0 && meta->type == META_TYPE_STRING) {
      found.name = meta->string;
    } else if (std::strcmp(meta->identifier, "virus_type") == 0) {
      found.virusType = typeValue(meta);
    } else if (std::strcmp(meta->identifier, "detect_type") == 0) {
      found.detectType = typeValue(meta);
    }
  }
  return found;
}

}  // namespace

DetectionTable DetectionTable::build(const YR_RULES& rules, const NamesTable& names, std::uint16_t& status) {
  DetectionTable table;
  table.first_ = rules.rules_table;
  const YR_RULE* rule = nullptr;
  const YR_RULES* all = &rules;
  yr_rules_foreach(all, rule) {
    Detection detection;
    if (!RULE_IS_PRIVATE(rule)) {
      const RuleMetadata meta = metadataOf(rule);
      detection.name = meta.name.value_or(rule->identifier);
      const NameEntry* entry = names.find(detection.name);
      const auto virusType = meta.virusType ? meta.virusType
                             : entry        ? std::optional<std::uint16_t>(entry->virusType)
                                            : std::nullopt;
      if (!virusType) {
        status = AV_STATUS_DATA_FILE(AV_DATA_FILE_NAMES, AV_DATA_FILE_UNTYPED_DETECTION);
        return {};
      }
      detection.virusType = *virusType;
      detection.detectType = meta.detectType.value_or(entry != nullptr ? entry->detectType : 1);
      ++table.reportable_;
    }
    table.byIndex_.push_back(std::move(detection));
  }
  if (table.reportable_ == 0) {
    status = AV_STATUS_DATA_FILE(AV_DATA_FILE_SCAN, AV_DATA_FILE_NO_REPORTABLE_RULE);
    return {};
  }
  status = AV_STATUS_OK;
  return table;
}

const Detection& DetectionTable::of(const YR_RULE* rule) const {
  return byIndex_[static_cast<std::size_t>(rule - first_)];
}

std::uint32_t DetectionTable::indexOf(const Detection& detection) const {
  return static_cast<std::uint32_t>(&detection - byIndex_.data());
}

const Detection* DetectionTable::at(std::uint32_t index) const {
  return index < byIndex_.size() ? &byIndex_[index] : nullptr;
}

}  // namespace qelda
