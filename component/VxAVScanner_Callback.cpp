#include "component/VxAVScanner_Callback.h"

#include "foundation/VxLogStream.h"
#include "platform/automation/UniqueBstr.h"

namespace {
constexpr wchar_t kLogSource[] = L"VxAVScanner_Callback";
}  // namespace

using platform::automation::UniqueBstr;

CVxAVScanner_Callback::CVxAVScanner_Callback(IVxVirusScan_Callback* face) : face_(face) {
  VX_LOG(VX_LOG_NORMAL, L"CVxAVScanner_Callback::CVxAVScanner_Callback")
      << L"CVxAVScanner_Callback::CVxAVScanner_Callback";
}

CVxAVScanner_Callback::~CVxAVScanner_Callback() {
  VX_LOG(VX_LOG_NORMAL, L"CVxAVScanner_Callback::~CVxAVScanner_Callback")
      << L"CVxAVScanner_Callback::~CVxAVScanner_Callback";
}

void CVxAVScanner_Callback::progress(const std::wstring& objectName, std::uint32_t objectStatus,
                                     std::uint32_t percent) {
  UniqueBstr name(objectName);
  // Out of memory: the event is lost; nothing may be thrown into the kernel's thread.
  if (!name.copied()) return;
  std::lock_guard guard(lock_);
  if (face_) face_->Progress(name.get(), static_cast<eAVObjectStatus>(objectStatus), percent);
}

void CVxAVScanner_Callback::onError(std::uint32_t error) {
  std::lock_guard guard(lock_);
  if (face_) face_->OnError(error);
}

void CVxAVScanner_Callback::onComplete(std::uint32_t result) {
  std::lock_guard guard(lock_);
  if (face_) face_->OnComplete(static_cast<eAVOperationResult>(result));
}
