// The virus-scan object over a fake kernel: arguments, statuses, log texts, state
// and the script callbacks.
#include <functional>
#include <thread>
#include <vector>

#include "component/VxOvrascanModule.h"
#include "platform/automation/UniqueVariant.h"
#include "foundation/VxErrorCodes.h"
#include "tests/component/VirusScanFixture.h"

namespace vxtest {
namespace {


constexpr wchar_t kConfig[] = L"<scanconfig/>";

TEST_F(VirusScanTest, BadArgumentsAreRefusedWithTheirLogLine) {
  struct Case {
    const wchar_t* method;
    std::vector<VARIANT> arguments;
    const wchar_t* log;
  };
  VARIANT nullDispatch = number(0, VT_DISPATCH);
  VARIANT nullText = number(0, VT_BSTR);
  const std::wstring nulFirst(L"\0abc", 4);
  const Case cases[] = {
      {L"Register", {number(5, VT_I4)}, L"CoCVxVirusScan::Register - invalid arguments"},
      {L"Register", {nullDispatch}, L"CoCVxVirusScan::Register - invalid arguments"},
      {L"SetConfig", {nullText}, L"CoCVxVirusScan::SetConfig - invalid arguments"},
      {L"SetConfig", {text(L"")}, L"CoCVxVirusScan::SetConfig - empty configuration XML"},
      {L"SetConfig", {text(nulFirst)}, L"CoCVxVirusScan::SetConfig - empty configuration XML"},
      {L"Scan", {number(0)}, L"CoCVxVirusScan::Scan - Invalid scan type: 0"},
      {L"Scan", {number(3)}, L"CoCVxVirusScan::Scan - Invalid scan type: 3"},
      {L"CleanFile", {nullText}, L"CoCVxVirusScan::CleanFile - invalid arguments"},
      {L"CleanFile", {text(nulFirst)}, L"CoCVxVirusScan::CleanFile - invalid arguments, empty file name"},
      {L"GetReport", {number(3)}, L"CoCVxVirusScan::GetReport - Invalid report type: 3"},
      {L"GetReport", {number(0)}, L"CoCVxVirusScan::GetReport - Invalid report type: 0"},
      {L"GetVersion", {number(3)}, L"CoCVxVirusScan::GetVersion - invalid arguments"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::string(c.log, c.log + std::wcslen(c.log)));
    capture->clear();
    const Outcome outcome = invoke(c.method, c.arguments);
    EXPECT_EQ(outcome.hr, E_INVALIDARG);
    EXPECT_EQ(outcome.vt, VT_EMPTY) << "a refused call returns nothing";
    EXPECT_TRUE(capture->contains(c.log, VX_LOG_WARNING));
  }
  EXPECT_EQ(kernelsMade, 0);
}

// C++ hosts call the interface directly and may pass null out-parameters.
TEST_F(VirusScanTest, NullOutputsAreRefused) {
  struct Case {
    std::function<HRESULT(IVxVirusScan&)> call;
    const wchar_t* log;
  };
  platform::automation::UniqueBstr config(kConfig);
  const Case cases[] = {
      {[&](IVxVirusScan& o) { return o.Register(script.asVariant(), nullptr); },
       L"CoCVxVirusScan::Register - invalid arguments"},
      {[&](IVxVirusScan& o) { return o.SetConfig(config.get(), nullptr); },
       L"CoCVxVirusScan::SetConfig - invalid arguments"},
      {[](IVxVirusScan& o) { return o.Scan(1, nullptr); }, L"CoCVxVirusScan::Scan - Invalid arguments"},
      {[](IVxVirusScan& o) { return o.Clean(nullptr); }, L"CoCVxVirusScan::Clean - invalid arguments"},
      {[&](IVxVirusScan& o) { return o.CleanFile(config.get(), nullptr); },
       L"CoCVxVirusScan::CleanFile - invalid arguments"},
      {[](IVxVirusScan& o) { return o.Cancel(nullptr); }, L"CoCVxVirusScan::Cancel - invalid arguments"},
      {[](IVxVirusScan& o) { return o.GetReport(1, nullptr); }, L"CoCVxVirusScan::GetReport - invalid arguments"},
      {[](IVxVirusScan& o) { return o.GetVersion(1, nullptr); }, L"CoCVxVirusScan::GetVersion - invalid arguments"},
      {[](IVxVirusScan& o) { return o.Uninitialize(VARIANT_TRUE, nullptr); },
       L"CoCVxVirusScan::Uninitialize - Invalid arguments"},
  };
  for (const auto& c : cases) {
    capture->clear();
    EXPECT_EQ(c.call(*object), E_INVALIDARG);
    EXPECT_TRUE(capture->contains(c.log, VX_LOG_WARNING));
  }
}

TEST_F(VirusScanTest, RequestsBeforeInitialisationReportStatusNotFailure) {
  struct Case {
    const char* what;
    std::function<unsigned int()> call;
    unsigned int status;
    const wchar_t* log;
  };
  const Case cases[] = {
      {"Scan without configuration", [&] { return scan(2); }, ERROR_INVALID_DATA,
       L"CoCVxVirusScan::Scan - Initialize failed, error: 13"},
      {"CleanFile without configuration", [&] { return cleanFile(L"/tmp/x"); }, ERROR_INVALID_DATA,
       L"CoCVxVirusScan::CleanFile - Initialize failed, error: 13"},
      {"Clean does not initialise", [&] { return status(L"Clean"); }, ERROR_INVALID_DATA,
       L"CoCVxVirusScan::Clean - invalid pointers, error: 13"},
      {"Cancel", [&] { return status(L"Cancel"); }, ERROR_INVALID_DATA,
       L"CoCVxVirusScan::Cancel - invalid pointers, error: 13"},
      {"Uninitialize", [&] { return uninitialize(); }, VX_E_NOT_INITIALIZED,
       L"CoCVxVirusScan::internalUninitialize - initialization not done"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    capture->clear();
    EXPECT_EQ(c.call(), c.status);
    EXPECT_TRUE(capture->contains(c.log));
  }
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::Uninitialize - internalUninitialize failed, error: 1107503892"));

  capture->clear();
  const Outcome fresh = report(1);
  EXPECT_EQ(fresh.hr, E_FAIL);
  EXPECT_EQ(fresh.vt, VT_EMPTY);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::GetReport - invalid data, error: 13", VX_LOG_WARNING));
  EXPECT_EQ(kernel->scans, 0);
}

TEST_F(VirusScanTest, KernelFailuresBecomeStatuses) {
  struct Case {
    const char* what;
    std::uint32_t FakeKernelScript::*error;
    std::uint32_t code;
    std::function<unsigned int()> call;
    const wchar_t* log;
  };
  const Case cases[] = {
      {"busy scan", &FakeKernelScript::scanError, ERROR_BUSY, [&] { return scan(1); },
       L"CoCVxVirusScan::Scan - Scan failed, error: 170"},
      {"busy clean", &FakeKernelScript::cleanError, ERROR_BUSY, [&] { return status(L"Clean"); },
       L"CoCVxVirusScan::Clean - Clean failed, error: 170"},
      {"clean object", &FakeKernelScript::cleanObjectError, ERROR_FILE_NOT_FOUND,
       [&] { return cleanFile(L"/gone"); }, L"CoCVxVirusScan::CleanFile - CleanObject failed, error: 2"},
      {"nothing to cancel", &FakeKernelScript::cancelError, VX_E_NOTHING_TO_CANCEL,
       [&] { return status(L"Cancel"); }, L"CoCVxVirusScan::Cancel - Cancel failed, error: 1107503895"},
      {"stop refused", &FakeKernelScript::deInitError, ERROR_ACCESS_DENIED, [&] { return uninitialize(); },
       L"CoCVxVirusScan::internalUninitialize - spScanKernel->DeInit failed, error: 5"},
  };
  ASSERT_EQ(setConfig(kConfig), 0u);
  ASSERT_EQ(scan(1), 0u);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    capture->clear();
    {
      std::lock_guard guard(kernel->lock);
      (*kernel).*c.error = c.code;
    }
    EXPECT_EQ(c.call(), c.code);
    EXPECT_TRUE(capture->contains(c.log, VX_LOG_WARNING));
    std::lock_guard guard(kernel->lock);
    (*kernel).*c.error = 0;
  }
  // A refused stop leaves the object initialised.
  EXPECT_EQ(setConfig(L"<other/>"), ERROR_ALREADY_INITIALIZED);
  EXPECT_EQ(kernelsMade, 1);
}

TEST_F(VirusScanTest, FailedInitialisationKeepsTheConfigurationForAnotherTry) {
  ASSERT_EQ(setConfig(kConfig), 0u);
  kernel->initError = VX_E_TYPE_NOT_RECOGNIZED;
  EXPECT_EQ(scan(1), VX_E_TYPE_NOT_RECOGNIZED);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::Initialize - spKernel->Init failed, error: 1107503893"));
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::Scan - Initialize failed, error: 1107503893"));

  // Still not initialised: a corrected configuration is accepted and used.
  EXPECT_EQ(setConfig(L"<scanconfig>fixed</scanconfig>"), 0u);
  kernel->initError = 0;
  EXPECT_EQ(scan(1), 0u);
  EXPECT_EQ(kernel->configuration, L"<scanconfig>fixed</scanconfig>");
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::Initialize - Success"));
  EXPECT_EQ(kernelsMade, 2);
}

TEST_F(VirusScanTest, KernelSourceFailures) {
  ASSERT_EQ(setConfig(kConfig), 0u);
  kernelSourceError = ERROR_NOT_ENOUGH_MEMORY;
  EXPECT_EQ(scan(1), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_TRUE(capture->contains(
      L"CoCVxVirusScan::Initialize - CVxAVScannerKernel::GetInstance failed, error: 8", VX_LOG_WARNING));
  EXPECT_EQ(version(0).hr, E_FAIL);
  EXPECT_TRUE(capture->contains(
      L"CoCVxVirusScan::GetVersion - CVxAVScannerKernel::GetInstance failed, error: 8", VX_LOG_WARNING));

  kernelSourceError = 0;
  kernelSourceNull = true;
  EXPECT_EQ(scan(1), ERROR_FUNCTION_FAILED);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::Initialize - spKernel is NULL", VX_LOG_WARNING));
  EXPECT_EQ(version(0).hr, E_FAIL);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::GetVersion - spKernel is NULL", VX_LOG_WARNING));
}

TEST_F(VirusScanTest, ConfigurationIsCutAtNulAndFixedOnceInitialised) {
  EXPECT_EQ(setConfig(std::wstring(L"<first/>\0tail", 13)), 0u);
  EXPECT_EQ(setConfig(std::wstring(L"<a/>\0tail", 9)), 0u);
  EXPECT_FALSE(capture->contains(L"CoCVxVirusScan::SetConfig - Already initialized"));
  ASSERT_EQ(cleanFile(L"/tmp/one"), 0u);
  EXPECT_EQ(kernel->configuration, L"<a/>");
  EXPECT_EQ(kernel->cleanedObject, L"/tmp/one");

  EXPECT_EQ(setConfig(L"<b/>"), ERROR_ALREADY_INITIALIZED);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::SetConfig - Already initialized", VX_LOG_WARNING));

  // Uninitialising forgets the configuration: the next scan needs a new one.
  EXPECT_EQ(uninitialize(), 0u);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::internalUninitialize - Success"));
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::Uninitialize - Uninitialize succeeded"));
  EXPECT_EQ(scan(1), ERROR_INVALID_DATA);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::Initialize - getScanConfiguration failed, error: 13"));
}

TEST_F(VirusScanTest, ReportsAndVersions) {
  // Versions need neither configuration nor initialisation.
  const Outcome engineVersion = version(1);
  ASSERT_EQ(engineVersion.hr, S_OK);
  EXPECT_EQ(engineVersion.text, L"9.8.7.6/1");
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::GetVersion successful"));

  ASSERT_EQ(setConfig(kConfig), 0u);
  ASSERT_EQ(scan(1), 0u);
  ASSERT_EQ(report(1).hr, S_OK);
  EXPECT_EQ(report(1).text, L"<ScanResults/>");
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::GetReport - Get complete report successful"));
  EXPECT_EQ(report(2).text, L"<ScanResults/><!--detections-->");
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::GetReport - Get detections report successful"));

  struct Case {
    std::uint32_t reportError;
    std::wstring report;
    const wchar_t* log;
  };
  const Case failures[] = {
      {ERROR_BUSY, L"x", L"CoCVxVirusScan::GetReport - GetReport failed, error: 170"},
      {0, L"", L"CoCVxVirusScan::GetReport - report XML is empty, error: 1627"},
  };
  for (const auto& c : failures) {
    kernel->reportError = c.reportError;
    kernel->report = c.report;
    const Outcome failed = report(1);
    EXPECT_EQ(failed.hr, E_FAIL);
    EXPECT_EQ(failed.vt, VT_EMPTY);
    EXPECT_TRUE(capture->contains(c.log, VX_LOG_WARNING));
  }
  kernel->versionError = ERROR_MOD_NOT_FOUND;
  EXPECT_EQ(version(2).hr, E_FAIL);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::GetVersion - GetVersion failed, error: 126", VX_LOG_WARNING));
}

TEST_F(VirusScanTest, ScriptHearsEachOperationWithItsType) {
  struct Case {
    const char* what;
    std::function<unsigned int()> start;
    std::uint32_t operationType;
    const wchar_t* typeText;
    const wchar_t* startedLog;
  };
  const Case cases[] = {
      {"scan only", [&] { return scan(1); }, 1, L"Scan",
       L"CoCVxVirusScan::Scan - Scan Only operation started successfully"},
      {"scan and clean", [&] { return scan(2); }, 3, L"Scan and Clean",
       L"CoCVxVirusScan::Scan - Scan and Clean operation started successfully"},
      {"clean", [&] { return status(L"Clean"); }, 2, L"Clean",
       L"CoCVxVirusScan::Clean - Clean operation started successfully"},
      {"clean one file", [&] { return cleanFile(L"/tmp/f"); }, 2, L"Clean",
       L"CoCVxVirusScan::CleanFile - Clean operation started successfully"},
  };
  ASSERT_EQ(registerScript(script), 0u);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::Register - Success"));
  ASSERT_EQ(setConfig(kConfig), 0u);
  std::size_t round = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ++round;
    ASSERT_EQ(c.start(), 0u);
    EXPECT_TRUE(capture->contains(c.startedLog));
    client()->progress(L"/bin/tool", AV_OBJECT_STATUS_INFECTED, 50);
    client()->onComplete(AV_OPERATION_RESULT_COMPLETED);
    ASSERT_EQ(script.count(L"Progress"), round);
    ASSERT_EQ(script.count(L"OnComplete"), round);
    EXPECT_EQ(script.calls(L"Progress").back().arguments,
              (std::vector<ScriptArgument>{ui4(c.operationType), bstr(L"/bin/tool"), ui4(2), ui4(50)}));
    EXPECT_EQ(script.calls(L"OnComplete").back().arguments,
              (std::vector<ScriptArgument>{i4(c.operationType), i4(0)}));
    EXPECT_TRUE(capture->contains(std::wstring(L"Progress: Operation Type = ") + c.typeText +
                                  L", Object = /bin/tool (Infected), Percentage complete: 50"));
    EXPECT_TRUE(capture->contains(std::wstring(L"OnComplete: Operation type = ") + c.typeText +
                                  L", Operation result = Completed"));
  }
  client()->onError(ERROR_ACCESS_DENIED);
  ASSERT_EQ(script.count(L"OnError"), 1u);
  EXPECT_EQ(script.calls(L"OnError")[0].arguments, std::vector<ScriptArgument>{ui4(5)});
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::OnError: Error Value = 5", VX_LOG_WARNING));
}

TEST_F(VirusScanTest, ValuesOutsideTheTablesAreLoggedAsQuestionMarks) {
  ASSERT_EQ(registerScript(script), 0u);
  auto& callback = static_cast<IVxVirusScan_Callback&>(*object);
  platform::automation::UniqueBstr name(L"obj");
  callback.Progress(name.get(), static_cast<eAVObjectStatus>(9), 101);
  callback.OnComplete(static_cast<eAVOperationResult>(2));
  EXPECT_TRUE(capture->contains(L"Progress: Operation Type = Scan, Object = obj (?), Percentage complete: 101"));
  EXPECT_TRUE(capture->contains(L"OnComplete: Operation type = Scan, Operation result = ?"));
  EXPECT_EQ(script.calls(L"OnComplete")[0].arguments, (std::vector<ScriptArgument>{i4(1), i4(2)}));
}

TEST_F(VirusScanTest, CancelSuppressesProgressUntilTheCompletion) {
  ASSERT_EQ(registerScript(script), 0u);
  ASSERT_EQ(setConfig(kConfig), 0u);
  ASSERT_EQ(scan(1), 0u);
  ASSERT_EQ(status(L"Cancel"), 0u);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::Cancel - Cancel initiated"));
  client()->progress(L"late", AV_OBJECT_STATUS_OK, 60);
  EXPECT_EQ(script.count(L"Progress"), 0u);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::Progress - operation cancelled. No progress callback expected",
                                VX_LOG_WARNING));
  client()->onComplete(AV_OPERATION_RESULT_CANCELLED);
  EXPECT_EQ(script.calls(L"OnComplete")[0].arguments, (std::vector<ScriptArgument>{i4(1), i4(1)}));
  EXPECT_TRUE(capture->contains(L"OnComplete: Operation type = Scan, Operation result = Cancelled"));

  // The next operation's progress is heard again.
  ASSERT_EQ(scan(1), 0u);
  client()->progress(L"next", AV_OBJECT_STATUS_OK, 10);
  EXPECT_EQ(script.count(L"Progress"), 1u);

  // A cancel the kernel refuses does not silence progress.
  kernel->cancelError = VX_E_NOTHING_TO_CANCEL;
  EXPECT_EQ(status(L"Cancel"), VX_E_NOTHING_TO_CANCEL);
  client()->progress(L"after refused cancel", AV_OBJECT_STATUS_OK, 20);
  EXPECT_EQ(script.count(L"Progress"), 2u);
}

TEST_F(VirusScanTest, EventsWithoutAScriptAreDroppedWithTheirLogLine) {
  ASSERT_EQ(setConfig(kConfig), 0u);
  ASSERT_EQ(scan(1), 0u);
  ASSERT_EQ(status(L"Cancel"), 0u);
  client()->progress(L"a", AV_OBJECT_STATUS_OK, 1);
  client()->onError(ERROR_BUSY);
  client()->onComplete(AV_OPERATION_RESULT_COMPLETED);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::Progress - cpDispatch is NULL", VX_LOG_WARNING));
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::OnError - cpDispatch is NULL", VX_LOG_WARNING));
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::OnComplete - cpDispatch is NULL", VX_LOG_WARNING));

  // The cancelled operation is over even though nobody listened: a script that
  // registers now hears the next one.
  ASSERT_EQ(registerScript(script), 0u);
  client()->progress(L"b", AV_OBJECT_STATUS_OK, 2);
  EXPECT_EQ(script.count(L"Progress"), 1u);
}

TEST_F(VirusScanTest, UninitializeClearsCallbacksOnlyForVariantTrue) {
  ASSERT_EQ(registerScript(script), 0u);
  auto& callback = static_cast<IVxVirusScan_Callback&>(*object);

  EXPECT_EQ(uninitialize(1), VX_E_NOT_INITIALIZED);
  EXPECT_FALSE(capture->contains(L"CoCVxVirusScan::internalUninitialize - Clearing callbacks"));
  callback.OnError(1);
  EXPECT_EQ(script.count(L"OnError"), 1u);

  EXPECT_EQ(uninitialize(VARIANT_TRUE), VX_E_NOT_INITIALIZED);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::internalUninitialize - Clearing callbacks"));
  callback.OnError(2);
  EXPECT_EQ(script.count(L"OnError"), 1u);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::OnError - cpDispatch is NULL"));

  // Register works again afterwards.
  ASSERT_EQ(registerScript(script), 0u);
  callback.OnError(3);
  EXPECT_EQ(script.count(L"OnError"), 2u);
}

TEST_F(VirusScanTest, ScriptWithoutProgressStillHearsCompletion) {
  ScriptRecorder partial({L"OnComplete"});
  ASSERT_EQ(registerScript(partial), 0u);
  ASSERT_EQ(setConfig(kConfig), 0u);
  ASSERT_EQ(scan(1), 0u);
  client()->progress(L"a", AV_OBJECT_STATUS_OK, 100);
  client()->onComplete(AV_OPERATION_RESULT_COMPLETED);
  EXPECT_EQ(partial.count(L"OnComplete"), 1u);
  EXPECT_EQ(uninitialize(VARIANT_TRUE), 0u);
}

TEST_F(VirusScanTest, LastRegisteredScriptHearsEveryObject) {
  ScriptRecorder second;
  platform::automation::com_ptr<VirusScanObject> other;
  ASSERT_EQ(VirusScanObject::create(other, kernelSource()), S_OK);
  ASSERT_EQ(registerScript(script), 0u);
  unsigned int status = 1;
  ASSERT_EQ(other->Register(second.asVariant(), &status), S_OK);
  static_cast<IVxVirusScan_Callback&>(*object).OnError(7);
  EXPECT_EQ(script.count(L"OnError"), 0u);
  EXPECT_EQ(second.count(L"OnError"), 1u);
  // The other object's farewell goes to the same, last registered script.
  other.reset();
  EXPECT_EQ(second.count(L"OnError"), 2u);
}

TEST_F(VirusScanTest, FinalReleaseTellsTheScriptTheObjectIsGone) {
  const LONG locksBefore = COvrascanModule::instance().GetLockCount();
  platform::automation::com_ptr<VirusScanObject> extra;
  ASSERT_EQ(VirusScanObject::create(extra, kernelSource()), S_OK);
  EXPECT_EQ(COvrascanModule::instance().GetLockCount(), locksBefore + 1);
  unsigned int status = 1;
  ASSERT_EQ(extra->Register(script.asVariant(), &status), S_OK);
  extra.reset();
  EXPECT_EQ(COvrascanModule::instance().GetLockCount(), locksBefore);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::FinalRelease"));
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::FinalRelease - Sending disconnected error"));
  ASSERT_EQ(script.count(L"OnError"), 1u);
  EXPECT_EQ(script.calls(L"OnError")[0].arguments,
            std::vector<ScriptArgument>{ui4(static_cast<std::uint32_t>(RPC_E_DISCONNECTED))});
}

TEST_F(VirusScanTest, InitialisedObjectLivesUntilUninitialised) {
  ASSERT_EQ(setConfig(kConfig), 0u);
  ASSERT_EQ(scan(1), 0u);
  VirusScanObject* raw = object.get();
  object.reset();
  EXPECT_FALSE(capture->contains(L"CoCVxVirusScan::FinalRelease"));
  unsigned int status = 99;
  EXPECT_EQ(raw->Uninitialize(VARIANT_TRUE, &status), S_OK);  // the kernel still holds it
  EXPECT_EQ(status, 0u);
  EXPECT_TRUE(capture->contains(L"CoCVxVirusScan::FinalRelease"));
}

TEST_F(VirusScanTest, ScriptMayCallTheObjectFromItsCallbacks) {
  ASSERT_EQ(registerScript(script), 0u);
  ASSERT_EQ(setConfig(kConfig), 0u);
  ASSERT_EQ(scan(1), 0u);
  unsigned int cancelStatus = 99;
  HRESULT reportResult = E_UNEXPECTED;
  script.onCall(L"Progress", [&](const ScriptCall&) { cancelStatus = status(L"Cancel"); });
  script.onCall(L"OnComplete", [&](const ScriptCall&) { reportResult = report(1).hr; });
  // Events arrive on the kernel's threads.
  std::thread kernelThread([&] {
    client()->progress(L"a", AV_OBJECT_STATUS_OK, 50);
    client()->onComplete(AV_OPERATION_RESULT_CANCELLED);
  });
  kernelThread.join();
  EXPECT_EQ(cancelStatus, 0u);
  EXPECT_EQ(reportResult, S_OK);
}

TEST_F(VirusScanTest, ConcurrentFirstScansStartOneKernel) {
  ASSERT_EQ(setConfig(kConfig), 0u);
  constexpr int kCallers = 4;
  std::vector<unsigned int> statuses(kCallers, 99);
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([&, i] { object->Scan(1, &statuses[static_cast<std::size_t>(i)]); });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(kernelsMade, 1);
  EXPECT_EQ(capture->count(L"CoCVxVirusScan::Initialize - Success"), 1u);
  for (unsigned int status : statuses) EXPECT_EQ(status, 0u);
  EXPECT_EQ(kernel->scans, kCallers);
}

TEST_F(VirusScanTest, NamesIgnoreCaseAndNumbersAreCoerced) {
  EXPECT_EQ(status(L"sEtCoNfIg", {text(kConfig)}), 0u);
  // A script passes numbers as it likes; the type library's unsigned int is served.
  EXPECT_EQ(status(L"SCAN", {number(2, VT_I4)}), 0u);
  EXPECT_TRUE(kernel->lastScanCleans);
  EXPECT_EQ(invoke(L"Scan", {text(L"not a number")}).hr, DISP_E_TYPEMISMATCH);
  EXPECT_EQ(invoke(L"Scan", {}).hr, DISP_E_BADPARAMCOUNT);
}

}  // namespace
}  // namespace vxtest
