#pragma once
// CVxAVScanResultXML: the ScanResults report of one scan, built from the
// kernel's result records. The complete report has one scannedItem per record;
// the detections report keeps only the items that were scanned and infected.
//
//   <?xml version="1.0" encoding="utf-16"?><ScanResults version="1.0" [objectsNotQueued=".."]
//                                                       [processesNotListed=".."]>
//     <scannedItem itemType=".." itemSize=".." itemName=".." IsScanned=".." .../>
//   </ScanResults>
//
// objectsNotQueued, present only when not 0, counts the objects the sources
// offered past the configuration's limit, which the scan never looked at;
// processesNotListed, likewise, the processes whose modules could not be listed.
//
// Items are ordered by object name (then by record identity), so that the same
// records always give the same text. Names are written as VxXmlText describes:
// characters that XML cannot carry, such as undecodable bytes of a file name,
// appear as U+FFFD.
//
// The report is a wide string; its declaration names UTF-16, the form in which
// it leaves the process.
//
// Thread-safety: none of its own; one thread builds and reads a report.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "documents/IVxAVScanResultXML.h"

class CVxAVScanResultXML : public IVxAVScanResultXML {
 public:
  // The detections filter loads reports of at most this size (UTF-8 bytes); a
  // report of the largest scan with long paths stays well below it.
  static constexpr std::size_t kMaxReportBytes = 512u * 1024u * 1024u;

  static std::shared_ptr<CVxAVScanResultXML> create();

  // Builds the complete report of the records; fails with 1627 when it
  // cannot be built, keeping the previous report.
  VxNAResult<> setResults(const VxScanObjectResultSet& results) override;
  void setObjectsNotQueued(std::uint64_t count) override { objectsNotQueued_ = count; }
  void setProcessesNotListed(std::uint32_t count) override { processesNotListed_ = count; }
  // Complete report: always ok (empty before setResults). Detections report:
  // fails with 87 when there is no complete report or it cannot be loaded, 1627
  // when it comes out empty.
  VxNAResult<> getXML(std::wstring& xml, bool complete) override;
  // Hands the complete report over; getXML finds it empty afterwards.
  VxNAResult<> takeXML(std::wstring& xml, bool complete) override;

  // The detections report of a complete report text.
  static VxNAResult<std::wstring> filterDetections(const std::wstring& completeReport);

 private:
  static VxNAResult<std::wstring> buildReport(const VxScanObjectResultSet& results, std::uint64_t objectsNotQueued,
                                              std::uint32_t processesNotListed);

  std::wstring report_;
  std::uint64_t objectsNotQueued_ = 0;
  std::uint32_t processesNotListed_ = 0;
};
