// The script callback holder: name lookups and their cache, the global interface
// table registration and the raw-pointer fallback, and its log texts.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/automation/ComObject.h"
#include "platform/automation/ScriptObject.h"
#include "platform/automation/UniqueVariant.h"
#include "suspicious/VxScriptCallback.h"
#include "tests/support/CaptureLog.h"

namespace {

using platform::automation::com_ptr;
using platform::automation::ComObject;
using platform::automation::UniqueVariant;

// A script object that counts how often it is asked for names and called.
class CountingScript : public IDispatch {
 public:
  HRESULT FinalConstruct() {
    inner_ = platform::automation::makeScriptObject(
        {{L"OnScanComplete", [this](std::span<const VARIANT> arguments, VARIANT*) {
            if (arguments.size() == 1 && arguments[0].vt == VT_UI4) lastCode = arguments[0].ulVal;
            ++calls;
            return S_OK;
          }}});
    return inner_ ? S_OK : E_OUTOFMEMORY;
  }
  void FinalRelease() {}
  void* interfaceFor(REFIID riid) {
    return riid == IID_IUnknown || riid == IID_IDispatch ? static_cast<IDispatch*>(this) : nullptr;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override { return inner_->GetTypeInfoCount(count); }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override {
    return inner_->GetTypeInfo(index, lcid, info);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override {
    ++lookups;
    return inner_->GetIDsOfNames(riid, names, count, lcid, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* exception, UINT* argumentError) override {
    return inner_->Invoke(id, riid, lcid, flags, params, result, exception, argumentError);
  }

  std::atomic<int> lookups{0};
  std::atomic<int> calls{0};
  std::atomic<ULONG> lastCode{0};

 protected:
  ~CountingScript() = default;

 private:
  com_ptr<IDispatch> inner_;
};

com_ptr<ComObject<CountingScript>> makeCountingScript() {
  com_ptr<ComObject<CountingScript>> script;
  EXPECT_EQ(ComObject<CountingScript>::create(script), S_OK);
  return script;
}

HRESULT callOnScanComplete(CVxScriptCallback& callback, ULONG code) {
  UniqueVariant argument;
  argument->vt = VT_UI4;
  argument->ulVal = code;
  DISPPARAMS parameters{argument.get(), nullptr, 1, 0};
  UniqueVariant result;
  return callback.invokeScriptFunction(L"OnScanComplete", &parameters, result.get());
}

// A holder whose global interface table cannot be had.
class NoTableCallback : public CVxScriptCallback {
 public:
  using CVxScriptCallback::CVxScriptCallback;

 protected:
  HRESULT _createGit() override { return E_OUTOFMEMORY; }
};

TEST(ScriptCallbackTest, NamesAreLookedUpOnceAndUnknownNamesAreNotCached) {
  const auto script = makeCountingScript();
  CVxScriptCallback callback(script.get());
  ASSERT_EQ(callback.Marshall(), S_OK);

  EXPECT_EQ(callOnScanComplete(callback, 7), S_OK);
  EXPECT_EQ(callOnScanComplete(callback, 8), S_OK);
  EXPECT_EQ(script->lookups, 1);
  EXPECT_EQ(script->calls, 2);
  EXPECT_EQ(script->lastCode, 8u);

  // Names compare exactly in the cache; the script itself ignores case.
  DISPID id = 0;
  EXPECT_EQ(callback.getDispID(L"onscancomplete", id), S_OK);
  EXPECT_EQ(script->lookups, 2);

  for (int attempt = 0; attempt < 2; ++attempt) {
    EXPECT_EQ(callback.getDispID(L"OnUploadComplete", id), DISP_E_UNKNOWNNAME);
  }
  EXPECT_EQ(script->lookups, 4) << "a failed lookup is asked again, not cached";
}

ULONG referencesOf(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

// The table keeps one reference per registration.
TEST(ScriptCallbackTest, MarshallRegistersOnceAndDestructionRevokes) {
  const auto script = makeCountingScript();
  {
    CVxScriptCallback callback(script.get());
    const ULONG held = referencesOf(script.get());
    ASSERT_EQ(callback.Marshall(), S_OK);
    EXPECT_EQ(referencesOf(script.get()), held + 1);
    EXPECT_EQ(callback.Marshall(), S_OK);
    EXPECT_EQ(referencesOf(script.get()), held + 1) << "a second Marshall registers nothing more";
  }
  EXPECT_EQ(referencesOf(script.get()), 1u) << "the registration and the holder's reference are gone";
}

TEST(ScriptCallbackTest, WithoutTheTableCallsReachTheRawObject) {
  const auto script = makeCountingScript();
  NoTableCallback callback(script.get());
  EXPECT_EQ(callback.Marshall(), E_OUTOFMEMORY);
  EXPECT_EQ(callOnScanComplete(callback, 3), S_OK);
  EXPECT_EQ(script->calls, 1);
  EXPECT_EQ(script->lastCode, 3u);
}

TEST(ScriptCallbackTest, NoScriptObjectGivesNoInterface) {
  vxtest::LogCapture capture;
  CVxScriptCallback callback(nullptr);
  EXPECT_EQ(callback.Marshall(), E_INVALIDARG);
  EXPECT_TRUE(capture->contains(L"Couldn't register callback object in GIT: hr = 80070057", VX_LOG_ERROR));
  DISPID id = 0;
  EXPECT_EQ(callback.getDispID(L"OnScanComplete", id), E_NOINTERFACE);
  EXPECT_EQ(callOnScanComplete(callback, 1), E_NOINTERFACE);
}

// Several threads call through one holder at once (run under ThreadSanitizer).
TEST(ScriptCallbackTest, ConcurrentCallsShareTheCache) {
  const auto script = makeCountingScript();
  CVxScriptCallback callback(script.get());
  ASSERT_EQ(callback.Marshall(), S_OK);
  constexpr int kThreads = 4;
  constexpr int kCalls = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kCalls; ++i) EXPECT_EQ(callOnScanComplete(callback, 1), S_OK);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(script->calls, kThreads * kCalls);
  EXPECT_LE(script->lookups, kThreads);
}

}  // namespace
