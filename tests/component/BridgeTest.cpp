// The kernel callback bridge: one event at a time reaches the object, and the bridge
// holds the object for its life.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "component/VxAVScanner_Callback.h"
#include "tests/support/CaptureLog.h"

namespace {

// Counts references and checks that no two events overlap.
class RecordingFace final : public IVxVirusScan_Callback {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  HRESULT STDMETHODCALLTYPE Progress(BSTR name, eAVObjectStatus status, ULONG percent) override {
    enter();
    lastName.assign(name, SysStringLen(name));
    lastStatus = status;
    lastPercent = percent;
    ++progress;
    leave();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnError(ULONG error) override {
    enter();
    lastError = error;
    leave();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnComplete(eAVOperationResult result) override {
    enter();
    lastResult = result;
    leave();
    return S_OK;
  }

  std::atomic<ULONG> references{0};
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  int progress = 0;
  std::wstring lastName;
  std::uint32_t lastStatus = 0, lastPercent = 0, lastError = 0, lastResult = 0;

 private:
  void enter() {
    if (++inside != 1) overlapped = true;
  }
  void leave() { --inside; }
};

TEST(Bridge, ForwardsEventsAndHoldsTheFace) {
  vxtest::LogCapture capture;
  RecordingFace face;
  {
    CVxAVScanner_Callback bridge(&face);
    EXPECT_EQ(face.references, 1u);
    EXPECT_TRUE(capture->contains(L"CVxAVScanner_Callback::CVxAVScanner_Callback"));
    EXPECT_EQ(capture->find(L"CVxAVScanner_Callback::CVxAVScanner_Callback").file, L"VxAVScanner_Callback");

    bridge.progress(std::wstring(L"a\0b", 3), AV_OBJECT_STATUS_CLEANED, 42);
    bridge.onError(5);
    bridge.onComplete(AV_OPERATION_RESULT_CANCELLED);
    EXPECT_EQ(face.lastName, std::wstring(L"a\0b", 3));
    EXPECT_EQ(face.lastStatus, 3u);
    EXPECT_EQ(face.lastPercent, 42u);
    EXPECT_EQ(face.lastError, 5u);
    EXPECT_EQ(face.lastResult, 1u);
  }
  EXPECT_EQ(face.references, 0u);
  EXPECT_TRUE(capture->contains(L"CVxAVScanner_Callback::~CVxAVScanner_Callback"));
}

TEST(Bridge, EventsFromSeveralThreadsReachTheObjectOneAtATime) {
  RecordingFace face;
  auto bridge = std::make_shared<CVxAVScanner_Callback>(&face);
  constexpr int kThreads = 4;
  constexpr int kEvents = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEvents; ++i) {
        bridge->progress(L"obj" + std::to_wstring(t), AV_OBJECT_STATUS_OK, static_cast<std::uint32_t>(i));
        if (i % 50 == 0) bridge->onError(static_cast<std::uint32_t>(i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(face.overlapped);
  EXPECT_EQ(face.progress, kThreads * kEvents);
}

}  // namespace
