#pragma once
// IVxAVScannerXMLConfig: the reader of the host's scan configuration, and the
// callback through which its source expansion hands out scan objects.
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "foundation/VxNAResult.h"

class CVxAVScanObject;

class IVxAVScannerXMLConfig_Callback {
 public:
  virtual ~IVxAVScannerXMLConfig_Callback() = default;
  // True asks the expansion to stop.
  virtual bool OnScanSource(std::shared_ptr<CVxAVScanObject> object) = 0;
  // A part of a source that yielded no objects although it should have (a process
  // whose modules could not be listed); a scan that misses it must say so.
  virtual void OnUnlistedSource() {}
};

class IVxAVScannerXMLConfig {
 public:
  virtual ~IVxAVScannerXMLConfig() = default;
  virtual VxNAResult<> setConfiguration(const std::wstring& text) = 0;
  virtual VxNAResult<std::uint32_t> getMaxScanCount() = 0;
  virtual VxNAResult<> getScanTypes(std::set<std::uint32_t>& types) = 0;
  virtual VxNAResult<> getCleanTypes(std::set<std::uint32_t>& types) = 0;
  // Offers every object of the configured sources to callback->OnScanSource;
  // fails with 1246 when the callback asked to stop.
  virtual VxNAResult<> UnwrapScanSources(std::shared_ptr<IVxAVScannerXMLConfig_Callback> callback) = 0;
  virtual VxNAResult<bool> getCollectHash() = 0;
};
