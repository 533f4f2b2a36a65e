#pragma once
// What the collector-runner tests share: a scratch folder, FIFOs that hold and
// release the fake tool, a recording completion callback, and a runner whose
// destruction can be waited for.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/UniqueFileDescriptor.h"
#include "platform/automation/ComObject.h"
#include "suspicious/VxSifterScanner.h"

namespace vxtest {

inline constexpr std::chrono::seconds kGenerousWait{60};

// A fresh empty folder for one test, removed with the object.
class SifterScratch {
 public:
  SifterScratch();
  ~SifterScratch();
  SifterScratch(const SifterScratch&) = delete;
  SifterScratch& operator=(const SifterScratch&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A FIFO the fake tool blocks on ("block") until release(); the test holds it
// open for reading and writing, so the tool's open never waits.
class HoldingFifo {
 public:
  explicit HoldingFifo(const std::string& path);
  void release();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  platform::UniqueFileDescriptor fd_;
};

// A FIFO the fake tool writes one byte to once it runs ("started").
class StartedFifo {
 public:
  explicit StartedFifo(const std::string& path);
  // True when the tool signalled within the deadline.
  bool waitForStart();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  platform::UniqueFileDescriptor fd_;
};

// Records every outcome and wakes waiters; onScan runs inside ScanCompleted.
class RecordingCallbackImpl : public IVxSuspiciousCallback {
 public:
  HRESULT FinalConstruct() { return S_OK; }
  void FinalRelease() {}
  void* interfaceFor(REFIID riid);

  HRESULT STDMETHODCALLTYPE ScanCompleted(ULONG code) override;
  HRESULT STDMETHODCALLTYPE UploadCompleted(ULONG code) override;

  bool waitForScans(std::size_t count);
  bool waitForUploads(std::size_t count);
  std::vector<ULONG> scans();
  std::vector<ULONG> uploads();
  // The object's current reference count.
  ULONG references();

  std::function<void(ULONG)> onScan;

 private:
  bool waitFor(const std::vector<ULONG>& list, std::size_t count);

  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<ULONG> scans_;
  std::vector<ULONG> uploads_;
};
using RecordingCallback = platform::automation::ComObject<RecordingCallbackImpl>;
platform::automation::com_ptr<RecordingCallback> makeRecordingCallback();

// Sets its event once the runner has been destroyed completely (it is a base
// destroyed after the runner's part).
struct DestructionSignal {
  std::shared_ptr<platform::Event> gone = std::make_shared<platform::Event>(
      platform::Event::ResetPolicy::Manual, platform::Event::InitialState::NotSignaled);
  ~DestructionSignal() { gone->set(); }
};

class ObservedSifterScanner : public DestructionSignal, public CVxSifterScanner {};

}  // namespace vxtest
