#pragma once
// CVxAVScannerKernelActivityView: the kernel as one activity's scan threads see
// it. Every report through the view carries the activity's number, so the kernel
// drops what arrives after that activity ended instead of counting it toward the
// next one. One view is made per activity; the scan threads also compare views to
// tell whether a scan in progress belongs to the activity being cancelled.
//
// Thread-safety: immutable; the kernel does the locking.
#include <cstdint>
#include <memory>
#include <string>

#include "kernel/IVxAVScanner_Callback.h"

class CVxAVScannerKernel;

class CVxAVScannerKernelActivityView final : public IVxAVScanner_Callback {
 public:
  CVxAVScannerKernelActivityView(std::weak_ptr<CVxAVScannerKernel> kernel, std::uint64_t activity)
      : kernel_(std::move(kernel)), activity_(activity) {}

  void progress(const std::wstring& objectName, std::uint32_t objectStatus,
                std::uint32_t percent) override;
  void onError(std::uint32_t error) override;
  void onComplete(std::uint32_t result) override;

 private:
  const std::weak_ptr<CVxAVScannerKernel> kernel_;
  const std::uint64_t activity_;
};
