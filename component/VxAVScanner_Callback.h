#pragma once
// CVxAVScanner_Callback: the bridge a virus-scan object hands its kernel. It turns
// the kernel's events into calls of the object's IVxVirusScan_Callback face, and
// keeps the object alive while the kernel holds it.
//
// Thread-safety: events arrive on the kernel's threads, several at once; the bridge
// lock lets one at a time reach the object and is held while the object (and the
// script behind it) handles the event.
#include <mutex>

#include "component/OvrascanLib.h"
#include "kernel/IVxAVScanner_Callback.h"
#include "platform/RecursiveMutex.h"
#include "platform/automation/ComPtr.h"

class CVxAVScanner_Callback final : public IVxAVScanner_Callback {
 public:
  explicit CVxAVScanner_Callback(IVxVirusScan_Callback* face);
  ~CVxAVScanner_Callback() override;
  CVxAVScanner_Callback(const CVxAVScanner_Callback&) = delete;
  CVxAVScanner_Callback& operator=(const CVxAVScanner_Callback&) = delete;

  void progress(const std::wstring& objectName, std::uint32_t objectStatus, std::uint32_t percent) override;
  void onError(std::uint32_t error) override;
  void onComplete(std::uint32_t result) override;

 private:
  platform::RecursiveMutex lock_;
  platform::automation::com_ptr<IVxVirusScan_Callback> face_;
};
