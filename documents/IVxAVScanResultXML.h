#pragma once
// IVxAVScanResultXML: turns a set of result records into the ScanResults report.
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "documents/VxScanObjectResult.h"
#include "foundation/VxNAResult.h"

using VxScanObjectResultSet = std::set<std::shared_ptr<CVxScanObjectResult>>;

class IVxAVScanResultXML {
 public:
  virtual ~IVxAVScanResultXML() = default;
  // Objects the scan's sources offered past its limit, for the report's root;
  // set before setResults.
  virtual void setObjectsNotQueued(std::uint64_t /*count*/) {}
  // Processes whose modules the sources could not list; set before setResults.
  virtual void setProcessesNotListed(std::uint32_t /*count*/) {}
  // Copies the records and builds the complete report.
  virtual VxNAResult<> setResults(const VxScanObjectResultSet& results) = 0;
  // The complete report when complete is true, else the detections report.
  virtual VxNAResult<> getXML(std::wstring& xml, bool complete) = 0;
  // The same for a caller that asks once and then drops the object: the complete
  // report may be handed over rather than copied (a report runs to megabytes).
  virtual VxNAResult<> takeXML(std::wstring& xml, bool complete) { return getXML(xml, complete); }
};
