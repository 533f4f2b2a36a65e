#pragma once
// CVxAVEngineInitResults: what the engine reported when it started, copied out of
// its initialisation record: the handle, the three values at offsets 12, 16 and 20
// (the first two are the engine version), the data-set version from the first
// data-set record (0.0 when the engine reported none) and a copy of every
// data-set record in the engine's order.
//
// Immutable after construction; safe to share between threads.
#include <cstdint>
#include <vector>

#include "engine/VxAVEngineABI.h"

class CVxAVEngineInitResults {
 public:
  // Reads the record and the data-set records it points to. Null entries of the
  // engine's record array are skipped; a null array counts as no records.
  explicit CVxAVEngineInitResults(const AV_INITIALISATION& record);

  std::uint64_t engineHandle() const { return engineHandle_; }
  std::uint32_t engineVersionMajor() const { return engineVersionMajor_; }
  std::uint32_t engineVersionMinor() const { return engineVersionMinor_; }
  std::uint32_t engineValue() const { return engineValue_; }
  std::uint32_t dataSetVersionMajor() const { return dataSetVersionMajor_; }
  std::uint32_t dataSetVersionMinor() const { return dataSetVersionMinor_; }
  const std::vector<AV_DATASETRECORD>& dataSetRecords() const { return dataSetRecords_; }

 private:
  std::uint64_t engineHandle_ = 0;
  std::uint32_t engineVersionMajor_ = 0;
  std::uint32_t engineVersionMinor_ = 0;
  std::uint32_t engineValue_ = 0;
  std::uint32_t dataSetVersionMajor_ = 0;
  std::uint32_t dataSetVersionMinor_ = 0;
  std::vector<AV_DATASETRECORD> dataSetRecords_;
};
