#pragma once
// IVxNAPSAPIUtil_Callback: receives the modules of the running processes, one
// path at a time, from VxNAPSAPIUtil::enumProcessModules.
#include <string>

class IVxNAPSAPIUtil_Callback {
 public:
  virtual ~IVxNAPSAPIUtil_Callback() = default;
  // True ends the enumeration.
  virtual bool onProcessModule(const std::wstring& modulePath) = 0;
};
