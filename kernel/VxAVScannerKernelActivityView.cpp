#include "kernel/VxAVScannerKernelActivityView.h"

#include "kernel/VxAVScannerKernel.h"

void CVxAVScannerKernelActivityView::progress(const std::wstring& objectName,
                                              std::uint32_t objectStatus,
                                              std::uint32_t /*percent*/) {
  if (auto kernel = kernel_.lock()) kernel->reportProgress(activity_, objectName, objectStatus);
}

void CVxAVScannerKernelActivityView::onError(std::uint32_t error) {
  if (auto kernel = kernel_.lock()) kernel->reportError(activity_, error);
}

void CVxAVScannerKernelActivityView::onComplete(std::uint32_t result) {
  if (auto kernel = kernel_.lock()) kernel->reportComplete(activity_, result);
}
