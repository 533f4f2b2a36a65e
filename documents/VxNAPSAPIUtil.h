#pragma once
// VxNAPSAPIUtil: the process-module enumeration behind the "processes" scan
// source. Walks the platform's process-module list (every module once, by
// ascending process id, then by address) and hands each one's name and content
// path, as wide strings, to the callback.
//
// Stateless; safe from any thread. The callback runs on the calling thread.
#include <memory>

#include "documents/IVxNAPSAPIUtil_Callback.h"
#include "foundation/VxNAResult.h"

class VxNAPSAPIUtil {
 public:
  // Fails with 87 for a null callback, with 1246 when the callback asked to
  // stop, and with the system's error when the processes cannot be listed.
  static VxNAResult<> enumProcessModules(const std::shared_ptr<IVxNAPSAPIUtil_Callback>& callback);
};
