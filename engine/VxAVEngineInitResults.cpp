#include "engine/VxAVEngineInitResults.h"

CVxAVEngineInitResults::CVxAVEngineInitResults(const AV_INITIALISATION& record)
    : engineHandle_(record.engineHandle),
      engineVersionMajor_(record.engineVersionMajor),
      engineVersionMinor_(record.engineVersionMinor),
      engineValue_(record.engineValue) {
  const auto* const* records = AV_U64_TO_PTR(const AV_DATASETRECORD* const*, record.records);
  if (records == nullptr) return;
  // The version comes from the engine's first record; a missing one reads as 0.0.
  if (record.recordCount > 0 && records[0] != nullptr) {
    dataSetVersionMajor_ = records[0]->versionMajor;
    dataSetVersionMinor_ = records[0]->versionMinor;
  }
  dataSetRecords_.reserve(record.recordCount);
  for (std::uint16_t i = 0; i < record.recordCount; ++i) {
    if (records[i] != nullptr) dataSetRecords_.push_back(*records[i]);
  }
}
