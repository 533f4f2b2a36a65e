#pragma once
// IVxNAPSAPIUtil_Callback: receives the modules of the running processes, one
// at a time, from VxNAPSAPIUtil::enumProcessModules: the name reports show and the
// path the content is read from (the same path for an ordinary file; the kernel's
// handle for a deleted, memfd, replaced or container module, see
// platform/ProcessModules.h), and the identity of the file the process maps.
#include <string>

#include "foundation/VxAVScanObject.h"

class IVxNAPSAPIUtil_Callback {
 public:
  virtual ~IVxNAPSAPIUtil_Callback() = default;
  // True ends the enumeration.
  virtual bool onProcessModule(const std::wstring& moduleName, const std::wstring& contentPath,
                               const VxScanObjectIdentity& identity) = 0;
  // A process whose modules could not be listed although it let us look (its
  // map never held still or outgrew the bound): none of its modules was offered.
  virtual void onUnlistedProcess(int /*pid*/) {}
};
