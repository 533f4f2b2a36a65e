#pragma once
// IVxAVObjectScanner: scans one object at a time through the engine and keeps one
// result record per object name. cancel() may be called from any thread and makes
// a running scanObject() return soon with 0x42032B16.
#include <map>
#include <memory>
#include <string>

#include "documents/VxScanObjectResult.h"
#include "foundation/VxNAResult.h"

class CVxAVScanObject;

using VxScanObjectResultMap = std::map<std::string, std::shared_ptr<CVxScanObjectResult>>;

class IVxAVObjectScanner {
 public:
  virtual ~IVxAVObjectScanner() = default;
  virtual VxNAResult<> scanObject(std::shared_ptr<CVxAVScanObject> object) = 0;
  virtual VxNAResult<> cancel() = 0;
  virtual VxNAResult<std::shared_ptr<VxScanObjectResultMap>> getResults() = 0;
  // The record of one object, by the key CVxAVScanObject::getResultKey() gives.
  virtual VxNAResult<std::shared_ptr<CVxScanObjectResult>> getResult(const std::string& name) = 0;
};
