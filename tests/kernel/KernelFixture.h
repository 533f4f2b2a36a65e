#pragma once
// A kernel wired to scripted doubles, a recording client and a log capture.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "foundation/VxErrorCodes.h"
#include "kernel/VxAVScannerKernel.h"
#include "tests/support/CaptureLog.h"
#include "tests/support/KernelDoubles.h"

namespace vxtest {

inline constexpr wchar_t kConfigText[] = L"<scanconfig/>";

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto created = CVxAVScannerKernel::GetInstance(doubles.factories());
    ASSERT_TRUE(created.ok);
    kernel = created.value;
  }

  void TearDown() override {
    doubles.scan->release();
    releaseExpansion();
    kernel->DeInit(true);
  }

  void init() { ASSERT_TRUE(kernel->Init(client, kConfigText).ok); }

  // Sources /obj/00 .. with sizes 10, 20, ...
  std::vector<std::wstring> makeSources(std::size_t count) {
    std::vector<std::wstring> names;
    for (std::size_t i = 0; i < count; ++i) {
      wchar_t name[32];
      std::swprintf(name, 32, L"/obj/%02zu", i);
      names.emplace_back(name);
      ObjectBehaviour behaviour;
      behaviour.size = static_cast<std::uint32_t>(10 * (i + 1));
      doubles.scan->set(name, behaviour);
    }
    std::lock_guard guard(doubles.config->lock);
    doubles.config->sources = names;
    return names;
  }

  void setSources(std::vector<std::wstring> names) { doubles.config->setSources(std::move(names)); }
  // Holds the kernel thread at the end of the next expansion.
  void holdExpansion() { doubles.config->holdNextExpansion(); }
  void releaseExpansion() { doubles.config->releaseExpansion(); }
  bool waitExpansionHeld() { return doubles.config->waitExpansionHeld(); }

  // The kernel's own callback view, as its scan threads see it.
  std::shared_ptr<IVxAVScanner_Callback> kernelView() {
    return std::dynamic_pointer_cast<IVxAVScanner_Callback>(kernel);
  }

  RecordingCallback::Terminal completed(std::uint32_t result) { return {false, result}; }
  RecordingCallback::Terminal failed(std::uint32_t error) { return {true, error}; }

  LogCapture capture;
  KernelDoubles doubles;
  std::shared_ptr<RecordingCallback> client = std::make_shared<RecordingCallback>();
  std::shared_ptr<IVxAVScannerKernel> kernel;
};

}  // namespace vxtest
