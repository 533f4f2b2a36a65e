#include "tests/suspicious/SifterTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace vxtest {

SifterScratch::SifterScratch() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vxsifter-test.XXXXXX").string();
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

SifterScratch::~SifterScratch() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

HoldingFifo::HoldingFifo(const std::string& path) : path_(path) {
  ::mkfifo(path.c_str(), 0600);
  fd_.reset(::open(path.c_str(), O_RDWR | O_CLOEXEC));
}

void HoldingFifo::release() {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(fd_.get(), &byte, 1);
}

StartedFifo::StartedFifo(const std::string& path) : path_(path) {
  ::mkfifo(path.c_str(), 0600);
  fd_.reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
}

bool StartedFifo::waitForStart() {
  pollfd request{fd_.get(), POLLIN, 0};
  const int timeout = static_cast<int>(std::chrono::milliseconds(kGenerousWait).count());
  if (::poll(&request, 1, timeout) != 1 || (request.revents & POLLIN) == 0) return false;
  char byte = 0;
  return ::read(fd_.get(), &byte, 1) == 1;
}

void* RecordingCallbackImpl::interfaceFor(REFIID riid) {
  if (riid == IID_IUnknown || riid == IID_IVxSuspiciousCallback) {
    return static_cast<IVxSuspiciousCallback*>(this);
  }
  return nullptr;
}

HRESULT RecordingCallbackImpl::ScanCompleted(ULONG code) {
  {
    std::lock_guard guard(lock_);
    scans_.push_back(code);
  }
  changed_.notify_all();
  if (onScan) onScan(code);
  return S_OK;
}

HRESULT RecordingCallbackImpl::UploadCompleted(ULONG code) {
  {
    std::lock_guard guard(lock_);
    uploads_.push_back(code);
  }
  changed_.notify_all();
  return S_OK;
}

bool RecordingCallbackImpl::waitFor(const std::vector<ULONG>& list, std::size_t count) {
  std::unique_lock guard(lock_);
  return changed_.wait_for(guard, kGenerousWait, [&] { return list.size() >= count; });
}

bool RecordingCallbackImpl::waitForScans(std::size_t count) { return waitFor(scans_, count); }
bool RecordingCallbackImpl::waitForUploads(std::size_t count) { return waitFor(uploads_, count); }

std::vector<ULONG> RecordingCallbackImpl::scans() {
  std::lock_guard guard(lock_);
  return scans_;
}

std::vector<ULONG> RecordingCallbackImpl::uploads() {
  std::lock_guard guard(lock_);
  return uploads_;
}

ULONG RecordingCallbackImpl::references() {
  AddRef();
  return Release();
}

platform::automation::com_ptr<RecordingCallback> makeRecordingCallback() {
  platform::automation::com_ptr<RecordingCallback> callback;
  RecordingCallback::create(callback);
  return callback;
}

}  // namespace vxtest
