#pragma once
// CVxAVScannerKernelEvent: work posted to the kernel thread.
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/VxAVScanObject.h"
#include "foundation/VxNAEventInfoBaseObj.h"

// Event kinds (the id of a kernel event).
enum : std::uint32_t {
  VX_AVSCANNER_EVENT_PROFILE_SCAN = 1,
  VX_AVSCANNER_EVENT_SCAN = 2,
  VX_AVSCANNER_EVENT_CLEAN = 3,
  VX_AVSCANNER_EVENT_CANCEL = 4,
  VX_AVSCANNER_EVENT_PROGRESS = 5,
  VX_AVSCANNER_EVENT_ONERROR = 6,
  VX_AVSCANNER_EVENT_ONCOMPLETE = 7,
};

// Pass modes of kinds 1 and 2.
enum : std::uint32_t {
  VX_AVSCANNER_MODE_NONE = 0,
  VX_AVSCANNER_MODE_SCAN = 1,
  VX_AVSCANNER_MODE_SCAN_AND_CLEAN = 2,
};

class CVxAVScannerKernelEvent : public VxNAEventInfoBaseObj {
 public:
  explicit CVxAVScannerKernelEvent(std::uint32_t kind) : VxNAEventInfoBaseObj(0, kind) {}

  std::shared_ptr<CVxAVScanObject> object;
  std::uint32_t mode = VX_AVSCANNER_MODE_NONE;
  std::wstring name;
  std::uint32_t status = 0;
  std::uint32_t percent = 0;
  std::uint32_t error = 0;
  std::uint32_t result = 0;
  // The activity an error event belongs to; see CVxAVScannerKernel::onError.
  std::uint64_t activity = 0;
};
