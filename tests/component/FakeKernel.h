#pragma once
// A scanner kernel double for the virus-scan object: records what the object asks
// and answers with the results a test sets. It keeps the client callback it was
// initialised with, so a test can play the kernel's events.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/VxErrorCodes.h"
#include "kernel/IVxAVScannerKernel.h"

namespace vxtest {

struct FakeKernelScript {
  std::mutex lock;
  std::uint32_t initError = 0;
  std::uint32_t deInitError = 0;
  std::uint32_t scanError = 0;
  std::uint32_t cleanError = 0;
  std::uint32_t cleanObjectError = 0;
  std::uint32_t cancelError = 0;
  std::uint32_t reportError = 0;
  std::wstring report = L"<ScanResults/>";
  std::uint32_t versionError = 0;
  std::wstring version = L"9.8.7.6";

  // What the kernels were asked.
  std::wstring configuration;
  std::wstring cleanedObject;
  int scans = 0;
  bool lastScanCleans = false;
  int deInits = 0;
  std::shared_ptr<IVxAVScanner_Callback> client;
};

class FakeKernel final : public IVxAVScannerKernel {
 public:
  explicit FakeKernel(std::shared_ptr<FakeKernelScript> script) : script_(std::move(script)) {}

  VxNAResult<> Init(std::shared_ptr<IVxAVScanner_Callback> callback, const std::wstring& configuration) override {
    std::lock_guard guard(script_->lock);
    script_->configuration = configuration;
    if (script_->initError != 0) return VxNAFail(script_->initError);
    script_->client = std::move(callback);
    return VxNASuccess();
  }
  VxNAResult<> DeInit(bool) override {
    std::shared_ptr<IVxAVScanner_Callback> dropped;
    std::lock_guard guard(script_->lock);
    ++script_->deInits;
    if (script_->deInitError != 0) return VxNAFail(script_->deInitError);
    dropped = std::move(script_->client);
    return VxNASuccess();
  }
  VxNAResult<> Scan(bool clean) override {
    std::lock_guard guard(script_->lock);
    ++script_->scans;
    script_->lastScanCleans = clean;
    return outcome(script_->scanError);
  }
  VxNAResult<> Clean() override { return outcome(locked(&FakeKernelScript::cleanError)); }
  VxNAResult<> CleanObject(const std::wstring& path) override {
    std::lock_guard guard(script_->lock);
    script_->cleanedObject = path;
    return outcome(script_->cleanObjectError);
  }
  VxNAResult<> Cancel() override { return outcome(locked(&FakeKernelScript::cancelError)); }
  VxNAResult<std::wstring> GetReport(bool complete) override {
    std::lock_guard guard(script_->lock);
    if (script_->reportError != 0) return VxNAFail(script_->reportError);
    return complete ? script_->report : script_->report + L"<!--detections-->";
  }
  VxNAResult<> GetVersion(std::uint32_t type, std::wstring& version) override {
    std::lock_guard guard(script_->lock);
    if (script_->versionError != 0) return VxNAFail(script_->versionError);
    version = script_->version + L"/" + std::to_wstring(type);
    return VxNASuccess();
  }

 private:
  static VxNAResult<> outcome(std::uint32_t error) { return error == 0 ? VxNASuccess() : VxNAResult<>(VxNAFail(error)); }
  std::uint32_t locked(std::uint32_t FakeKernelScript::*field) {
    std::lock_guard guard(script_->lock);
    return (*script_).*field;
  }

  std::shared_ptr<FakeKernelScript> script_;
};

}  // namespace vxtest
