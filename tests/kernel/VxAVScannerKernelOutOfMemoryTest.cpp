// Running out of memory anywhere under the kernel: the request fails with 8, or
// the activity ends with onError(8), and the log names where; nothing is thrown
// out of the kernel or its threads.
#include <functional>

#include "tests/kernel/KernelFixture.h"

namespace vxtest {
namespace {

struct OutOfMemoryCase {
  const char* name;
  std::function<void(KernelDoubles&, RecordingCallback&)> arrange;
  // Runs the request and checks what the client and the caller got.
  std::function<void(IVxAVScannerKernel&, RecordingCallback&)> act;
  std::wstring logged;  // the Error line
};

void scanFailsWith8(IVxAVScannerKernel& kernel, RecordingCallback& client) {
  ASSERT_TRUE(kernel.Scan(false).ok);
  ASSERT_TRUE(client.waitTerminals(1));
  EXPECT_EQ(client.terminals(),
            (std::vector<RecordingCallback::Terminal>{{true, ERROR_NOT_ENOUGH_MEMORY}}));
}

const std::vector<OutOfMemoryCase> kCases = {
    {"starting the engine in Init",
     [](KernelDoubles& d, RecordingCallback&) { d.outOfMemoryAt = OutOfMemoryAt::Engine; },
     nullptr, L"CVxAVScannerKernel::Init - out of memory, error = 8"},
    {"creating the object scanners of a pass",
     [](KernelDoubles& d, RecordingCallback&) { d.outOfMemoryAt = OutOfMemoryAt::ObjectScanner; },
     scanFailsWith8, L"CVxAVScannerKernel::ThreadProc - out of memory, error = 8"},
    {"expanding the sources",
     [](KernelDoubles& d, RecordingCallback&) { d.config->expansionOutOfMemory = true; },
     scanFailsWith8, L"CVxAVScannerKernel::ThreadProc - out of memory, error = 8"},
    {"scanning an object",
     [](KernelDoubles& d, RecordingCallback&) {
       d.config->setSources({L"/a", L"/b"});
       d.scan->set(L"/b", {.outOfMemory = true});
     },
     scanFailsWith8, L"CVxAVScanThread::ThreadProc - out of memory, error = 8"},
    {"the client taking a progress report",
     [](KernelDoubles& d, RecordingCallback& client) {
       d.config->setSources({L"/a", L"/b"});
       client.progressOutOfMemory = true;
     },
     [](IVxAVScannerKernel& k, RecordingCallback& client) {
       // The reports are lost, the activity is not.
       ASSERT_TRUE(k.Scan(false).ok);
       ASSERT_TRUE(client.waitTerminals(1));
       EXPECT_EQ(client.terminals(),
                 (std::vector<RecordingCallback::Terminal>{{false, AV_OPERATION_RESULT_COMPLETED}}));
     },
     L"CVxAVScannerKernel::progress - out of memory, error = 8"},
    {"building the report",
     [](KernelDoubles& d, RecordingCallback&) { d.outOfMemoryAt = OutOfMemoryAt::Report; },
     [](IVxAVScannerKernel& k, RecordingCallback&) {
       EXPECT_EQ(k.GetReport(true).error, ERROR_NOT_ENOUGH_MEMORY);
     },
     L"CVxAVScannerKernel::GetReport - out of memory, error = 8"},
    {"creating the version object",
     [](KernelDoubles& d, RecordingCallback&) { d.outOfMemoryAt = OutOfMemoryAt::VersionInfo; },
     [](IVxAVScannerKernel& k, RecordingCallback&) {
       std::wstring version;
       EXPECT_EQ(k.GetVersion(1, version).error, ERROR_NOT_ENOUGH_MEMORY);
     },
     L"CVxAVScannerKernel::GetVersion - out of memory, error = 8"},
};

TEST(KernelOutOfMemoryTest, BecomesError8AtTheKernelsBoundaries) {
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    KernelDoubles doubles;
    auto client = std::make_shared<RecordingCallback>();
    c.arrange(doubles, *client);
    auto kernel = CVxAVScannerKernel::GetInstance(doubles.factories()).value;
    if (doubles.outOfMemoryAt == OutOfMemoryAt::Engine) {
      EXPECT_EQ(kernel->Init(client, kConfigText).error, ERROR_NOT_ENOUGH_MEMORY);
      EXPECT_TRUE(capture->contains(c.logged, VX_LOG_ERROR));
      EXPECT_EQ(kernel->Scan(false).error, VX_E_NOT_INITIALIZED);
      continue;
    }
    ASSERT_TRUE(kernel->Init(client, kConfigText).ok);
    c.act(*kernel, *client);
    EXPECT_TRUE(capture->contains(c.logged, VX_LOG_ERROR));
    doubles.scan->release();
    EXPECT_TRUE(kernel->DeInit(true).ok);
  }
}

}  // namespace
}  // namespace vxtest
