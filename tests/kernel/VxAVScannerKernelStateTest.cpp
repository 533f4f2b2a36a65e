// Requests against the activity state: what is accepted, what is refused with
// which code and which log line, and the kernel's life cycle.
#include <functional>

#include "tests/kernel/KernelFixture.h"

namespace vxtest {
namespace {

using Request = std::function<VxNAResult<>(IVxAVScannerKernel&)>;

struct RefusalCase {
  const char* name;
  Request request;
  std::uint32_t code;
  std::wstring function;
  std::wstring warning;  // empty: the refusal is not logged
};

VxNAResult<> getReport(IVxAVScannerKernel& k) {
  auto report = k.GetReport(true);
  return report.ok ? VxNASuccess() : VxNAResult<>(VxNAFail(report.error));
}

const std::vector<RefusalCase> kNotInitialized = {
    {"Scan", [](auto& k) { return k.Scan(false); }, VX_E_NOT_INITIALIZED,
     L"CVxAVScannerKernel::Scan", L"CVxAVScannerKernel::Scan - Not initialized"},
    {"ScanAndClean", [](auto& k) { return k.Scan(true); }, VX_E_NOT_INITIALIZED,
     L"CVxAVScannerKernel::Scan", L"CVxAVScannerKernel::Scan - Not initialized"},
    {"Clean", [](auto& k) { return k.Clean(); }, VX_E_NOT_INITIALIZED,
     L"CVxAVScannerKernel::Clean", L"CVxAVScannerKernel::Clean - Not initialized"},
    {"CleanObject", [](auto& k) { return k.CleanObject(L"/bin/true"); }, VX_E_NOT_INITIALIZED,
     L"CVxAVScannerKernel::CleanObject", L"CVxAVScannerKernel::CleanObject - Not initialized"},
    {"Cancel", [](auto& k) { return k.Cancel(); }, VX_E_NOT_INITIALIZED,
     L"CVxAVScannerKernel::Cancel", L"CVxAVScannerKernel::Cancel - Not initialized"},
    {"DeInit", [](auto& k) { return k.DeInit(true); }, VX_E_NOT_INITIALIZED,
     L"CVxAVScannerKernel::DeInit", L"CVxAVScannerKernel::DeInit - Not initialized"},
    {"GetReport", getReport, VX_E_NOT_INITIALIZED, L"", L""},
};

// Refusals while an activity is in progress.
const std::vector<RefusalCase> kBusy = {
    {"Scan", [](auto& k) { return k.Scan(false); }, ERROR_BUSY, L"CVxAVScannerKernel::Scan",
     L"CVxAVScannerKernel::Scan - Activity in progress. A further scan cannot be launched"},
    {"Clean", [](auto& k) { return k.Clean(); }, ERROR_BUSY, L"CVxAVScannerKernel::Clean",
     L"CVxAVScannerKernel::Clean - Activity in progress. A further clean cannot be launched"},
    {"CleanObject", [](auto& k) { return k.CleanObject(L"/bin/true"); }, ERROR_BUSY,
     L"CVxAVScannerKernel::CleanObject",
     L"CVxAVScannerKernel::CleanObject - Activity in progress. A further clean cannot be "
     L"launched"},
    {"GetReport", getReport, ERROR_BUSY, L"", L""},
};

void expectRefusal(IVxAVScannerKernel& kernel, CaptureLogBackEnd& log, const RefusalCase& c) {
  SCOPED_TRACE(c.name);
  log.clear();
  const VxNAResult<> result = c.request(kernel);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.error, c.code);
  if (c.warning.empty()) {
    EXPECT_TRUE(log.entries().empty());
    return;
  }
  const LogEntry entry = log.find(c.warning);
  EXPECT_EQ(entry.severity, VX_LOG_WARNING);
  EXPECT_EQ(entry.function, c.function);
  EXPECT_EQ(entry.file, L"VxAVScannerKernel");
}

TEST_F(KernelTest, RequestsBeforeInitAreRefused) {
  for (const auto& c : kNotInitialized) expectRefusal(*kernel, capture.log(), c);
}

TEST_F(KernelTest, InitRefusesMissingCallbackOrEmptyText) {
  const std::vector<std::pair<std::shared_ptr<IVxAVScanner_Callback>, std::wstring>> cases = {
      {nullptr, kConfigText}, {client, L""}};
  for (const auto& [callback, text] : cases) {
    capture->clear();
    const auto result = kernel->Init(callback, text);
    EXPECT_EQ(result.error, ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(capture->contains(L"CVxAVScannerKernel::Init - Invalid parameters", VX_LOG_WARNING));
    EXPECT_EQ(kernel->Scan(false).error, VX_E_NOT_INITIALIZED);
  }
}

TEST_F(KernelTest, SecondInitIsRefused) {
  init();
  EXPECT_EQ(kernel->Init(client, kConfigText).error, VX_E_ALREADY_INITIALIZED);
  EXPECT_TRUE(capture->contains(L"CVxAVScannerKernel::Init - Already initialized", VX_LOG_WARNING));
}

TEST_F(KernelTest, InitReportsTheFailingCollaboratorAndKeepsNothing) {
  struct Case {
    const char* name;
    std::function<void(KernelDoubles&)> arrange;
    std::uint32_t code;
  };
  const std::vector<Case> cases = {
      {"engine", [](KernelDoubles& d) { d.engineError = 0x42032F15; }, 0x42032F15},
      {"configuration",
       [](KernelDoubles& d) { d.config->setConfigurationError = VX_E_TYPE_NOT_RECOGNIZED; },
       VX_E_TYPE_NOT_RECOGNIZED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    KernelDoubles failing;
    c.arrange(failing);
    auto k = CVxAVScannerKernel::GetInstance(failing.factories()).value;
    capture->clear();
    EXPECT_EQ(k->Init(client, kConfigText).error, c.code);
    EXPECT_TRUE(capture->contains(L"CVxAVScannerKernel::Init - initializeKernel failed, error = " +
                                      std::to_wstring(c.code),
                                  VX_LOG_WARNING));
    EXPECT_EQ(k->Scan(false).error, VX_E_NOT_INITIALIZED);
    EXPECT_EQ(capture->count(L"CVxAVScanThread::ThreadProc started"), 0u);
  }
}

TEST_F(KernelTest, InitAndDeInitTwice) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    capture->clear();
    client->clear();
    init();
    makeSources(3);
    ASSERT_TRUE(kernel->Scan(false).ok);
    ASSERT_TRUE(client->waitTerminals(1));
    EXPECT_EQ(client->terminals()[0], completed(AV_OPERATION_RESULT_COMPLETED));
    ASSERT_TRUE(kernel->DeInit(true).ok);
    EXPECT_EQ(capture->count(L"CVxAVScanThread::ThreadProc terminated normally"), 4u);
    EXPECT_EQ(capture->count(L"CVxAVScannerKernel::ThreadProc terminated normally"), 1u);
    EXPECT_TRUE(capture->contains(L"Wait for CVxAVScannerKernel thread handle was successful",
                                  VX_LOG_NORMAL));
  }
  EXPECT_EQ(kernel->DeInit(true).error, VX_E_NOT_INITIALIZED);
}

TEST_F(KernelTest, RefusalsWhileAnActivityRuns) {
  init();
  holdExpansion();
  ASSERT_TRUE(kernel->Scan(false).ok);
  EXPECT_TRUE(capture->contains(L"CVxAVScannerKernel::Scan - Entering activity in progress state",
                                VX_LOG_NORMAL));
  ASSERT_TRUE(waitExpansionHeld());
  for (const auto& c : kBusy) expectRefusal(*kernel, capture.log(), c);

  ASSERT_TRUE(kernel->Cancel().ok);
  EXPECT_TRUE(capture->contains(L"CVxAVScannerKernel::Cancel - Entering cancelling state",
                                VX_LOG_NORMAL));
  expectRefusal(*kernel, capture.log(),
                {"second cancel", [](auto& k) { return k.Cancel(); }, ERROR_BUSY,
                 L"CVxAVScannerKernel::Cancel",
                 L"CVxAVScannerKernel::Cancel - Already triggered a cancel"});
  for (const auto& c : kBusy) expectRefusal(*kernel, capture.log(), c);

  releaseExpansion();
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals()[0], completed(AV_OPERATION_RESULT_CANCELLED));
  expectRefusal(*kernel, capture.log(),
                {"cancel when idle", [](auto& k) { return k.Cancel(); }, VX_E_NOTHING_TO_CANCEL,
                 L"CVxAVScannerKernel::Cancel",
                 L"CVxAVScannerKernel::Cancel - No activity in progress, so nothing to cancel"});
}

TEST_F(KernelTest, EveryAcceptedRequestEntersInProgress) {
  init();
  makeSources(2);
  const std::vector<std::pair<Request, std::wstring>> requests = {
      {[](auto& k) { return k.Scan(false); },
       L"CVxAVScannerKernel::Scan - Entering activity in progress state"},
      {[](auto& k) { return k.Clean(); },
       L"CVxAVScannerKernel::Clean - Entering activity in progress state"},
      {[](auto& k) { return k.CleanObject(L"/obj/00"); },
       L"CVxAVScannerKernel::CleanObject - Entering activity in progress state"},
  };
  std::size_t activities = 0;
  for (const auto& [request, entering] : requests) {
    ASSERT_TRUE(request(*kernel).ok);
    EXPECT_TRUE(capture->contains(entering, VX_LOG_NORMAL));
    ASSERT_TRUE(client->waitTerminals(++activities));
    EXPECT_EQ(client->terminals().back(), completed(AV_OPERATION_RESULT_COMPLETED));
  }
}

TEST_F(KernelTest, VersionNeedsNoInitAndIsCreatedOnce) {
  const std::vector<std::pair<std::uint32_t, std::wstring>> versions = {
      {0, L"1.2.3.4"}, {1, L"5.600"}, {2, L"0.0"}};
  for (const auto& [type, expected] : versions) {
    std::wstring text;
    ASSERT_TRUE(kernel->GetVersion(type, text).ok);
    EXPECT_EQ(text, expected);
  }
  std::wstring text;
  EXPECT_EQ(kernel->GetVersion(3, text).error, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(doubles.versionObjectsCreated->load(), 1);
}

TEST_F(KernelTest, FailedVersionObjectIsTriedAgain) {
  doubles.versionError = ERROR_FUNCTION_FAILED;
  std::wstring text;
  EXPECT_EQ(kernel->GetVersion(0, text).error, ERROR_FUNCTION_FAILED);
  doubles.versionError = 0;
  ASSERT_TRUE(kernel->GetVersion(0, text).ok);
  EXPECT_EQ(text, L"1.2.3.4");
}

}  // namespace
}  // namespace vxtest
