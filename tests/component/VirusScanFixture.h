#pragma once
// A virus-scan object on scripted kernels, a recording script and a log capture.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "component/CoCVxVirusScan.h"
#include "component/VxInterfaceTable.h"
#include "platform/automation/ComObject.h"
#include "platform/automation/UniqueBstr.h"
#include "tests/component/FakeKernel.h"
#include "tests/component/ScriptRecorder.h"
#include "tests/support/CaptureLog.h"

namespace vxtest {

using VirusScanObject = platform::automation::ComObject<CoCVxVirusScan>;

class VirusScanTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(VirusScanObject::create(object, kernelSource()), S_OK); }

  void TearDown() override {
    // The kernel holds the object while initialised; stop it so the object goes.
    if (object) {
      unsigned int status = 0;
      object->Uninitialize(VARIANT_TRUE, &status);
    }
    object.reset();
    CVxInterfaceTable::instance().revokeAll();
  }

  // The fake kernels of this test; override for others.
  virtual CoCVxVirusScan::KernelSource kernelSource() {
    return [this]() -> VxNAResult<std::shared_ptr<IVxAVScannerKernel>> {
      ++kernelsMade;
      if (kernelSourceError != 0) return VxNAFail(kernelSourceError);
      if (kernelSourceNull) return std::shared_ptr<IVxAVScannerKernel>();
      return std::shared_ptr<IVxAVScannerKernel>(std::make_shared<FakeKernel>(kernel));
    };
  }

  unsigned int registerScript(ScriptRecorder& recorder) {
    unsigned int status = 99;
    EXPECT_EQ(object->Register(recorder.asVariant(), &status), S_OK);
    return status;
  }
  unsigned int setConfig(const std::wstring& text) {
    platform::automation::UniqueBstr bstr(text);
    unsigned int status = 99;
    EXPECT_EQ(object->SetConfig(bstr.get(), &status), S_OK);
    return status;
  }
  unsigned int scan(unsigned int type = 1) {
    unsigned int status = 99;
    EXPECT_EQ(object->Scan(type, &status), S_OK);
    return status;
  }
  unsigned int cleanFile(const std::wstring& name) {
    platform::automation::UniqueBstr bstr(name);
    unsigned int status = 99;
    EXPECT_EQ(object->CleanFile(bstr.get(), &status), S_OK);
    return status;
  }
  unsigned int call(HRESULT (STDMETHODCALLTYPE IVxVirusScan::*method)(unsigned int*)) {
    unsigned int status = 99;
    EXPECT_EQ((object.get()->*method)(&status), S_OK);
    return status;
  }
  unsigned int uninitialize(VARIANT_BOOL clear = VARIANT_FALSE) {
    unsigned int status = 99;
    EXPECT_EQ(object->Uninitialize(clear, &status), S_OK);
    return status;
  }
  // The client callback the object gave its (fake) kernel.
  std::shared_ptr<IVxAVScanner_Callback> client() {
    std::lock_guard guard(kernel->lock);
    return kernel->client;
  }

  LogCapture capture;
  ScriptRecorder script;
  std::shared_ptr<FakeKernelScript> kernel = std::make_shared<FakeKernelScript>();
  std::atomic<int> kernelsMade{0};
  std::uint32_t kernelSourceError = 0;
  bool kernelSourceNull = false;
  platform::automation::com_ptr<VirusScanObject> object;
};

}  // namespace vxtest
