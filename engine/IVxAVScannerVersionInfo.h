#pragma once
// IVxAVScannerVersionInfo: the three version texts (types 0, 1 and 2).
#include <string>

#include "foundation/VxNAResult.h"

class IVxAVScannerVersionInfo {
 public:
  virtual ~IVxAVScannerVersionInfo() = default;
  virtual VxNAResult<> getComponentVersion(std::wstring& version) = 0;
  virtual VxNAResult<> getEngineVersion(std::wstring& version) = 0;
  virtual VxNAResult<> getDataSetVersion(std::wstring& version) = 0;
};
