// The suspicious-scan object without its collector runner: argument checks,
// statuses, delivery of outcomes to the registered script, its log texts, and
// calls into the object from a script's own callback.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/automation/ComObject.h"
#include "platform/automation/InvokeByName.h"
#include "platform/automation/ScriptObject.h"
#include "platform/automation/UniqueBstr.h"
#include "platform/automation/UniqueVariant.h"
#include "platform/automation/VariantOf.h"
#include "suspicious/VxSifterScanner.h"
#include "suspicious/VxSuspScanDispImpl.h"
#include "tests/support/CaptureLog.h"

namespace {

using platform::automation::com_ptr;
using platform::automation::ComObject;
using platform::automation::UniqueBstr;
using platform::automation::UniqueVariant;
using platform::automation::variantOfBstr;
using platform::automation::variantOfDispatch;
using platform::automation::variantOfNumber;

using Object = ComObject<CVxSuspScanDispImpl>;

com_ptr<Object> makeObjectWithoutRunner() {
  com_ptr<Object> object;
  EXPECT_EQ(Object::create(object, [] { return std::shared_ptr<CVxSifterScanner>(); }), S_OK);
  return object;
}

// What a script heard: each call's function name and code.
struct Heard {
  std::wstring function;
  ULONG code;
  VARTYPE vt;
};

class ScriptRecorder {
 public:
  com_ptr<IDispatch> script(std::function<void()> during = {}) {
    auto hear = [this, during](const wchar_t* function) {
      return [this, during, function](std::span<const VARIANT> arguments, VARIANT*) {
        if (during) during();
        std::lock_guard guard(lock_);
        heard_.push_back({function, arguments.size() == 1 ? arguments[0].ulVal : 0,
                          arguments.size() == 1 ? arguments[0].vt : VARTYPE{VT_EMPTY}});
        return S_OK;
      };
    };
    return platform::automation::makeScriptObject(
        {{L"OnScanComplete", hear(L"OnScanComplete")}, {L"OnUploadComplete", hear(L"OnUploadComplete")}});
  }
  std::vector<Heard> heard() {
    std::lock_guard guard(lock_);
    return heard_;
  }

 private:
  std::mutex lock_;
  std::vector<Heard> heard_;
};

std::int32_t status(const UniqueVariant& result) {
  EXPECT_EQ(result->vt, VT_I4);
  return result->lVal;
}

TEST(SuspiciousScanObjectTest, WithoutARunnerEveryRequestIsAnInternalError) {
  const auto object = makeObjectWithoutRunner();
  UniqueBstr tool(L"./Sifter.exe");
  struct Case {
    const char* method;
    std::function<HRESULT(VARIANT*)> call;
    std::int32_t expected;
  };
  const Case cases[] = {
      {"Scan", [&](VARIANT* r) { return object->Scan(r); }, 1359},
      {"Abort", [&](VARIANT* r) { return object->Abort(r); }, 1359},
      {"GetReport", [&](VARIANT* r) { return object->GetReport(r); }, 1359},
      {"UploadReport", [&](VARIANT* r) { return object->UploadReport(r); }, 1359},
      {"GetVersion", [&](VARIANT* r) { return object->GetVersion(r); }, 1359},
      {"CleanSession", [&](VARIANT* r) { return object->CleanSession(r); }, 1359},
      {"Configure", [&](VARIANT* r) { return object->Configure(variantOfBstr(tool.get()), r); }, 87},
      {"UnRegisterCallback", [&](VARIANT* r) { return object->UnRegisterCallback(r); }, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    UniqueVariant result;
    EXPECT_EQ(c.call(result.put()), S_OK);
    EXPECT_EQ(status(result), c.expected);
    // There is nowhere to put a status: the call is refused and does nothing.
    EXPECT_EQ(c.call(nullptr), E_POINTER);
  }
}

TEST(SuspiciousScanObjectTest, RegisterCallbackTakesOnlyAScriptObject) {
  const auto object = makeObjectWithoutRunner();
  ScriptRecorder recorder;
  const com_ptr<IDispatch> script = recorder.script();
  UniqueBstr text(L"OnScanComplete");
  const VARIANT refused[] = {variantOfNumber(VT_I4, 5), variantOfBstr(text.get()),
                             variantOfDispatch(nullptr), variantOfNumber(VT_EMPTY, 0)};
  for (const VARIANT& argument : refused) {
    UniqueVariant result;
    EXPECT_EQ(object->RegisterCallback(argument, result.put()), S_OK);
    EXPECT_EQ(status(result), 87);
  }
  // A refused registration leaves the earlier one in force.
  UniqueVariant result;
  ASSERT_EQ(object->RegisterCallback(variantOfDispatch(script.get()), result.put()), S_OK);
  EXPECT_EQ(status(result), 0);
  EXPECT_EQ(object->RegisterCallback(variantOfNumber(VT_I4, 1), result.put()), S_OK);
  object->ScanCompleted(4);
  ASSERT_EQ(recorder.heard().size(), 1u);
}

TEST(SuspiciousScanObjectTest, OutcomesReachTheScriptRegisteredAtDelivery) {
  vxtest::LogCapture capture;
  const auto object = makeObjectWithoutRunner();
  ScriptRecorder first;
  ScriptRecorder second;
  const com_ptr<IDispatch> firstScript = first.script();
  const com_ptr<IDispatch> secondScript = second.script();
  UniqueVariant result;

  EXPECT_EQ(object->ScanCompleted(1), S_OK) << "nobody registered: nothing is said";
  EXPECT_TRUE(capture->entries().empty());

  object->RegisterCallback(variantOfDispatch(firstScript.get()), result.put());
  object->ScanCompleted(5);
  object->RegisterCallback(variantOfDispatch(secondScript.get()), result.put());
  object->UploadCompleted(1805);
  object->UnRegisterCallback(result.put());
  object->ScanCompleted(7);

  const auto heardFirst = first.heard();
  ASSERT_EQ(heardFirst.size(), 1u);
  EXPECT_EQ(heardFirst[0].function, L"OnScanComplete");
  EXPECT_EQ(heardFirst[0].code, 5u);
  EXPECT_EQ(heardFirst[0].vt, VT_UI4);
  const auto heardSecond = second.heard();
  ASSERT_EQ(heardSecond.size(), 1u);
  EXPECT_EQ(heardSecond[0].function, L"OnUploadComplete");
  EXPECT_EQ(heardSecond[0].code, 1805u);

  EXPECT_TRUE(capture->contains(
      L" CVxSuspScanDispImpl::ScanCompleted()- triggering OnScanCompleted callback, errorcode:5", VX_LOG_NORMAL));
  EXPECT_TRUE(capture->contains(
      L" CVxSuspScanDispImpl::UploadCompleted()- triggering OnUploadCompleted callback1805", VX_LOG_NORMAL));
  EXPECT_FALSE(capture->contains(
      L" CVxSuspScanDispImpl::ScanCompleted()- triggering OnScanCompleted callback, errorcode:7"));
}

TEST(SuspiciousScanObjectTest, AFailingScriptFunctionIsLoggedAndTheObjectStaysUsable) {
  vxtest::LogCapture capture;
  const auto object = makeObjectWithoutRunner();
  // A script that has no OnScanComplete, and whose OnUploadComplete throws.
  const com_ptr<IDispatch> script = platform::automation::makeScriptObject(
      {{L"OnUploadComplete", [](std::span<const VARIANT>, VARIANT*) { return DISP_E_EXCEPTION; }}});
  UniqueVariant result;
  object->RegisterCallback(variantOfDispatch(script.get()), result.put());
  EXPECT_EQ(object->ScanCompleted(0), S_OK);
  EXPECT_EQ(object->UploadCompleted(0), S_OK);
  EXPECT_TRUE(capture->contains(L" Failed to call script function (OnScanComplete) hr=80020006", VX_LOG_ERROR));
  EXPECT_TRUE(capture->contains(L" Failed to call script function (OnUploadComplete) hr=80020009", VX_LOG_ERROR));
  EXPECT_EQ(object->UnRegisterCallback(result.put()), S_OK);
  EXPECT_EQ(status(result), 0);
}

// A script may call the object from inside its callback: register another script,
// unregister itself, abort. None of it waits for the delivery in progress.
TEST(SuspiciousScanObjectTest, ScriptMayCallTheObjectFromItsCallback) {
  const auto object = makeObjectWithoutRunner();
  ScriptRecorder replacement;
  const com_ptr<IDispatch> replacementScript = replacement.script();
  ScriptRecorder recorder;
  const com_ptr<IDispatch> script = recorder.script([&] {
    UniqueVariant result;
    object->RegisterCallback(variantOfDispatch(replacementScript.get()), result.put());
    object->Abort(result.put());
    object->UnRegisterCallback(result.put());
  });
  UniqueVariant result;
  object->RegisterCallback(variantOfDispatch(script.get()), result.put());
  object->ScanCompleted(3);
  EXPECT_EQ(recorder.heard().size(), 1u);
  object->ScanCompleted(4);
  EXPECT_EQ(replacement.heard().size(), 0u) << "the callback unregistered every script";
}

TEST(SuspiciousScanObjectTest, ScriptsReachTheMethodsByName) {
  const auto object = makeObjectWithoutRunner();
  UniqueVariant result;
  UniqueBstr tool(L"./Sifter");
  const VARIANT arguments[] = {variantOfBstr(tool.get())};
  ASSERT_EQ(platform::automation::invokeByName(*object, L"configure", arguments, result.put()), S_OK);
  EXPECT_EQ(status(result), 87);
  ASSERT_EQ(platform::automation::invokeByName(*object, L"Scan", {}, result.put()), S_OK);
  EXPECT_EQ(status(result), 1359);
  com_ptr<IVxSuspiciousCallback> callback;
  EXPECT_EQ(object->QueryInterface(IID_IVxSuspiciousCallback, callback.put_void()), S_OK);
}

// Deliveries on several threads while the script is replaced (for ThreadSanitizer).
TEST(SuspiciousScanObjectTest, DeliveriesRaceWithRegistrations) {
  const auto object = makeObjectWithoutRunner();
  ScriptRecorder recorder;
  const com_ptr<IDispatch> script = recorder.script();
  std::atomic<bool> stop{false};
  std::thread registrar([&] {
    UniqueVariant result;
    while (!stop) {
      object->RegisterCallback(variantOfDispatch(script.get()), result.put());
      object->UnRegisterCallback(result.put());
    }
  });
  std::vector<std::thread> deliverers;
  for (int t = 0; t < 3; ++t) {
    deliverers.emplace_back([&] {
      for (int i = 0; i < 300; ++i) object->ScanCompleted(static_cast<ULONG>(i));
    });
  }
  for (auto& thread : deliverers) thread.join();
  stop = true;
  registrar.join();
  for (const Heard& heard : recorder.heard()) EXPECT_EQ(heard.function, L"OnScanComplete");
}

}  // namespace
