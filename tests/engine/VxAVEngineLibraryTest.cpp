#include "engine/VxAVEngineLibrary.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>
#include <string>

#include "foundation/VxErrorCodes.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/CaptureLog.h"

namespace {

const std::wstring kTestEngine = VxNATypeConversion::ansiBufferToWideString(TEST_ENGINE_PATH);

TEST(EngineLibrary, BindsTheThreeEntryPoints) {
  const VxNAResult<std::shared_ptr<CVxAVEngineLibrary>> library =
      CVxAVEngineLibrary::bind(kTestEngine);
  ASSERT_TRUE(library.ok) << library.error;
  EXPECT_EQ(library.value->functions().AVInitialise, &AVInitialise);
  EXPECT_EQ(library.value->functions().AVScanObject, &AVScanObject);
  EXPECT_EQ(library.value->functions().AVClose, &AVClose);
}

TEST(EngineLibrary, AMissingLibraryIsNotFoundAndLogged) {
  vxtest::LogCapture capture;
  EXPECT_EQ(CVxAVEngineLibrary::bind(L"/nonexistent/libqelda64a.so").error, ERROR_MOD_NOT_FOUND);
  const std::vector<vxtest::LogEntry> entries = capture->entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].severity, VX_LOG_ERROR);
  EXPECT_EQ(entries[0].file, L"VxAVEngineLibrary");
  EXPECT_TRUE(entries[0].message.starts_with(
      L"CVxAVEngineLibrary::bind - loading /nonexistent/libqelda64a.so failed ("));
  EXPECT_TRUE(entries[0].message.ends_with(L"), error = 126"));
}

TEST(EngineLibrary, ALibraryWithoutTheEntryPointsIsRefused) {
  vxtest::LogCapture capture;
  EXPECT_EQ(CVxAVEngineLibrary::bind(L"libc.so.6").error, ERROR_PROC_NOT_FOUND);
  EXPECT_TRUE(capture->contains(L"CVxAVEngineLibrary::bind - AVInitialise not found, error = 127",
                                VX_LOG_ERROR));
}

class ProcessEngineLibraryTest : public vxtest::TestEngineFixture {};

TEST_F(ProcessEngineLibraryTest, TheProcessStaysBoundToItsLibrary) {
  EXPECT_EQ(CVxAVEngineLibrary::boundPath(), kTestEngine);
  EXPECT_TRUE(CVxAVEngineLibrary::bindProcessEngine(kTestEngine).ok);
  EXPECT_EQ(CVxAVEngineLibrary::bindProcessEngine(L"/elsewhere/libqelda64a.so").error,
            VX_E_ALREADY_INITIALIZED);
  const VxNAResult<VxAVEngineEntryPoints> entryPoints = CVxAVEngineLibrary::entryPoints();
  ASSERT_TRUE(entryPoints.ok);
  EXPECT_EQ(entryPoints.value.AVScanObject, &AVScanObject);
}

TEST_F(ProcessEngineLibraryTest, EntryPointsAreSafeToFetchFromManyThreads) {
  std::vector<std::thread> threads;
  std::atomic<int> bound{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int k = 0; k < 100; ++k) {
        if (CVxAVEngineLibrary::entryPoints().value.AVClose == &AVClose) ++bound;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(bound.load(), 400);
}

}  // namespace
