#pragma once
// IVxAVScanner_Callback: how a kernel reports to its client (and how scan threads
// report to their kernel). progress runs on a scan thread, possibly on several at
// once; onError and onComplete on the kernel thread. No kernel lock is held
// during any of these calls.
#include <cstdint>
#include <string>

// The automation enumerations; the component's type library declares the same.
enum eAVObjectStatus : std::uint32_t {
  AV_OBJECT_STATUS_NOT_VERIFIED = 0,
  AV_OBJECT_STATUS_OK = 1,
  AV_OBJECT_STATUS_INFECTED = 2,
  AV_OBJECT_STATUS_CLEANED = 3,
};

enum eAVOperationResult : std::uint32_t {
  AV_OPERATION_RESULT_COMPLETED = 0,
  AV_OPERATION_RESULT_CANCELLED = 1,
};

class IVxAVScanner_Callback {
 public:
  virtual ~IVxAVScanner_Callback() = default;
  virtual void progress(const std::wstring& objectName, std::uint32_t objectStatus,
                        std::uint32_t percent) = 0;
  // The operation ended with this error; no onComplete follows.
  virtual void onError(std::uint32_t error) = 0;
  virtual void onComplete(std::uint32_t result) = 0;
};
