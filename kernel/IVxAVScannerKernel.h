#pragma once
// IVxAVScannerKernel: the requests a client makes of a scanner kernel.
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/VxNAResult.h"
#include "kernel/IVxAVScanner_Callback.h"

class IVxAVScannerKernel {
 public:
  virtual ~IVxAVScannerKernel() = default;
  virtual VxNAResult<> Init(std::shared_ptr<IVxAVScanner_Callback> callback,
                            const std::wstring& configuration) = 0;
  virtual VxNAResult<> DeInit(bool wait) = 0;
  virtual VxNAResult<> Scan(bool clean) = 0;
  virtual VxNAResult<> Clean() = 0;
  virtual VxNAResult<> CleanObject(const std::wstring& path) = 0;
  virtual VxNAResult<> Cancel() = 0;
  virtual VxNAResult<std::wstring> GetReport(bool complete) = 0;
  virtual VxNAResult<> GetVersion(std::uint32_t type, std::wstring& version) = 0;
};
