#pragma once
// A virus-scan object on scripted kernels, a recording script and a log capture.
#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <vector>
#include <memory>
#include <string>

#include "component/CoCVxVirusScan.h"
#include "component/VxInterfaceTable.h"
#include "platform/automation/ComObject.h"
#include "platform/automation/InvokeByName.h"
#include "platform/automation/UniqueBstr.h"
#include "platform/automation/UniqueVariant.h"
#include "platform/automation/VariantOf.h"
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

  // Calls a method by name through IDispatch, as a script does. The arguments are
  // owned by the caller; the outcome holds the HRESULT and the retval.
  struct Outcome {
    HRESULT hr = E_UNEXPECTED;
    VARTYPE vt = VT_EMPTY;
    std::uint32_t status = 0;  // a numeric retval
    std::wstring text;         // a BSTR retval
  };
  Outcome invoke(IDispatch& target, const wchar_t* name, const std::vector<VARIANT>& arguments) {
    Outcome outcome;
    platform::automation::UniqueVariant result;
    outcome.hr = platform::automation::invokeByName(target, name, arguments, result.get());
    outcome.vt = result->vt;
    if (result->vt == VT_BSTR) {
      outcome.text.assign(result->bstrVal, SysStringLen(result->bstrVal));
    } else {
      outcome.status = result->ulVal;
    }
    return outcome;
  }
  Outcome invoke(const wchar_t* name, const std::vector<VARIANT>& arguments = {}) {
    return invoke(*object, name, arguments);
  }
  // Arguments; texts are kept alive by the fixture until the test ends.
  VARIANT number(std::uint32_t value, VARTYPE vt = VT_UINT) {
    return platform::automation::variantOfNumber(vt, value);
  }
  VARIANT text(const std::wstring& value) {
    texts_.emplace_back(value);
    return platform::automation::variantOfBstr(texts_.back().get());
  }
  VARIANT flag(VARIANT_BOOL value) { return platform::automation::variantOfBool(value); }
  // A status-returning call that must succeed as a call.
  unsigned int status(const wchar_t* name, const std::vector<VARIANT>& arguments = {}) {
    const Outcome outcome = invoke(name, arguments);
    EXPECT_EQ(outcome.hr, S_OK) << name;
    EXPECT_EQ(outcome.vt, VT_UINT) << name;
    return outcome.status;
  }

  unsigned int registerScript(ScriptRecorder& recorder) { return status(L"Register", {recorder.asVariant()}); }
  unsigned int setConfig(const std::wstring& configuration) { return status(L"SetConfig", {text(configuration)}); }
  unsigned int scan(unsigned int type = 1) { return status(L"Scan", {number(type)}); }
  unsigned int cleanFile(const std::wstring& name) { return status(L"CleanFile", {text(name)}); }
  unsigned int uninitialize(VARIANT_BOOL clear = VARIANT_FALSE) { return status(L"Uninitialize", {flag(clear)}); }
  Outcome report(unsigned int type) { return invoke(L"GetReport", {number(type)}); }
  Outcome version(unsigned int type) { return invoke(L"GetVersion", {number(type)}); }

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

 private:
  std::list<platform::automation::UniqueBstr> texts_;
};

}  // namespace vxtest
