// A whole kernel scan (profile pass, then scan pass) over trivial objects with
// collaborators that do nothing, for benchmarks that measure the kernel's own
// cost per object and what a little work per object adds to it.
#ifndef BENCH_TRIVIAL_KERNEL_SCAN_H
#define BENCH_TRIVIAL_KERNEL_SCAN_H

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/IVxAVScannerConfig.h"
#include "foundation/VxAVScanObject.h"
#include "kernel/VxAVScannerKernel.h"

namespace benchsupport {

class NoEngine final : public IVxAVEngine {
 public:
  VxNAResult<VxAVEngineHandle> getHandle() override { return VxAVEngineHandle{1}; }
};

class ListConfig final : public IVxAVScannerXMLConfig {
 public:
  explicit ListConfig(std::shared_ptr<const std::vector<std::wstring>> names) : names_(std::move(names)) {}
  VxNAResult<> setConfiguration(const std::wstring&) override { return VxNASuccess(); }
  VxNAResult<std::uint32_t> getMaxScanCount() override { return std::uint32_t{4000000}; }
  VxNAResult<> getScanTypes(std::set<std::uint32_t>& types) override {
    types = {1};
    return VxNASuccess();
  }
  VxNAResult<> getCleanTypes(std::set<std::uint32_t>& types) override {
    types.clear();
    return VxNASuccess();
  }
  VxNAResult<> UnwrapScanSources(std::shared_ptr<IVxAVScannerXMLConfig_Callback> callback) override {
    // Objects as the process walk offers them: each with the identity of the file
    // mapped and the kernel's handle to it.
    std::uint64_t inode = 0;
    const auto handle = std::make_shared<const std::string>("/proc/4242/map_files/7f0000000000-7f0000001000");
    for (const auto& name : *names_) {
      auto object = std::make_shared<CVxAVScanObject>(VX_SCAN_OBJECT_FILE, name);
      VxScanObjectIdentity identity;
      identity.deviceMajor = 8;
      identity.deviceMinor = 1;
      identity.inode = ++inode;
      identity.pid = 4242;
      identity.kernelHandle = handle;
      object->setIdentity(std::move(identity));
      if (callback->OnScanSource(std::move(object))) break;
    }
    return VxNASuccess();
  }
  VxNAResult<bool> getCollectHash() override { return false; }

 private:
  std::shared_ptr<const std::vector<std::wstring>> names_;
};

// What a benchmark adds to the scan of each object; empty: nothing.
using ObjectWork = std::function<void(const CVxAVScanObject&)>;

// Records every object as scanned and clean, after the benchmark's own work.
class NoOpScanner final : public IVxAVObjectScanner, public IVxAVScannerConfig {
 public:
  explicit NoOpScanner(ObjectWork work) : work_(std::move(work)) {}
  VxNAResult<> setEngine(std::shared_ptr<IVxAVEngine>) override { return VxNASuccess(); }
  VxNAResult<> setScanTypes(const std::set<std::uint16_t>&) override { return VxNASuccess(); }
  VxNAResult<> setCleanTypes(const std::set<std::uint16_t>&) override { return VxNASuccess(); }
  VxNAResult<> initialize() override { return VxNASuccess(); }
  VxNAResult<> reserved() override { return VxNASuccess(); }
  VxNAResult<> setCollectHash(bool) override { return VxNASuccess(); }

  VxNAResult<> scanObject(std::shared_ptr<CVxAVScanObject> object) override {
    if (work_) work_(*object);
    auto record = std::make_shared<CVxScanObjectResult>();
    record->itemName = object->getResultKey();
    record->itemSize = 1;
    record->IsScanned = 1;
    std::lock_guard guard(lock_);
    (*results_)[record->itemName] = record;
    return VxNASuccess();
  }
  VxNAResult<> cancel() override { return VxNASuccess(); }
  VxNAResult<std::shared_ptr<VxScanObjectResultMap>> getResults() override {
    std::lock_guard guard(lock_);
    return results_;
  }
  VxNAResult<std::shared_ptr<CVxScanObjectResult>> getResult(const std::string& name) override {
    std::lock_guard guard(lock_);
    const auto found = results_->find(name);
    if (found == results_->end()) return VxNAFail(2);
    return found->second;
  }

 private:
  ObjectWork work_;
  std::mutex lock_;
  std::shared_ptr<VxScanObjectResultMap> results_ = std::make_shared<VxScanObjectResultMap>();
};

class CompletionWaiter final : public IVxAVScanner_Callback {
 public:
  void progress(const std::wstring&, std::uint32_t, std::uint32_t) override {}
  void onError(std::uint32_t) override { finish(); }
  void onComplete(std::uint32_t) override { finish(); }
  void wait() {
    std::unique_lock guard(lock_);
    done_.wait(guard, [this] { return finished_; });
    finished_ = false;
  }

 private:
  void finish() {
    std::lock_guard guard(lock_);
    finished_ = true;
    done_.notify_all();
  }
  std::mutex lock_;
  std::condition_variable done_;
  bool finished_ = false;
};

// Runs the benchmark's iterations, each a whole scan of `count` objects, and
// reports us_per_object: the time per object and pass.
inline void runTrivialKernelScans(benchmark::State& state, std::size_t count, ObjectWork work = {}) {
  auto names = std::make_shared<std::vector<std::wstring>>();
  for (std::size_t i = 0; i < count; ++i) names->push_back(L"/bench/object/" + std::to_wstring(i));
  CVxAVScannerKernelFactories factories;
  factories.getAVEngine = [] { return VxNAResult<std::shared_ptr<IVxAVEngine>>(std::make_shared<NoEngine>()); };
  factories.createXMLConfig = [names] {
    return VxNAResult<std::shared_ptr<IVxAVScannerXMLConfig>>(std::make_shared<ListConfig>(names));
  };
  factories.createObjectScanner = [work] {
    return VxNAResult<std::shared_ptr<IVxAVObjectScanner>>(std::make_shared<NoOpScanner>(work));
  };
  auto kernel = CVxAVScannerKernel::GetInstance(factories).value;
  auto client = std::make_shared<CompletionWaiter>();
  if (!kernel->Init(client, L"<scanconfig/>").ok) {
    state.SkipWithError("kernel did not start");
    return;
  }
  for (auto _ : state) {
    kernel->Scan(false);
    client->wait();
  }
  kernel->DeInit(true);
  // Each scan takes every object through two passes.
  const auto objectPasses = static_cast<std::int64_t>(state.iterations() * count * 2);
  state.SetItemsProcessed(objectPasses);
  // Rate of millions of objects per second, inverted: microseconds per object.
  state.counters["us_per_object"] = benchmark::Counter(static_cast<double>(objectPasses) / 1e6,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  // The process's peak so far: the largest scan of a run shows what it holds.
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peak_rss_mb"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace benchsupport

#endif
