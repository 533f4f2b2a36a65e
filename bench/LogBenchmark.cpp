// The cost of the file log: how many lines per second four threads get into one
// rotating file set, and what one log statement per object adds to a whole
// kernel scan of 10,000 objects (profile and scan pass) when logging is off and
// when it is on at the default severity. The statement is at Normal, which the
// default filters out, or at Information, which is written.
//
// Log files go to a machine folder of the benchmark's own under the temporary
// folder, one per case, removed at the end.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "engine/IVxAVScannerConfig.h"
#include "foundation/VxFileLog.h"
#include "foundation/VxFileLogFactory.h"
#include "foundation/VxLogStream.h"
#include "foundation/VxProtectedIniValue.h"
#include "kernel/VxAVScanObject.h"
#include "kernel/VxAVScannerKernel.h"

namespace {

constexpr wchar_t kLogSource[] = L"LogBenchmark";

// The severity of the statement each scanned object logs; 0: none.
std::uint32_t gStatementSeverity = 0;


class NoEngine final : public IVxAVEngine {
 public:
  VxNAResult<VxAVEngineHandle> getHandle() override { return VxAVEngineHandle{1}; }
};

class ListConfig final : public IVxAVScannerXMLConfig {
 public:
  explicit ListConfig(std::shared_ptr<const std::vector<std::wstring>> names)
      : names_(std::move(names)) {}
  VxNAResult<> setConfiguration(const std::wstring&) override { return VxNASuccess(); }
  VxNAResult<std::uint32_t> getMaxScanCount() override { return std::uint32_t{1000000}; }
  VxNAResult<> getScanTypes(std::set<std::uint32_t>& types) override {
    types = {1};
    return VxNASuccess();
  }
  VxNAResult<> getCleanTypes(std::set<std::uint32_t>& types) override {
    types.clear();
    return VxNASuccess();
  }
  VxNAResult<> UnwrapScanSources(std::shared_ptr<IVxAVScannerXMLConfig_Callback> callback) override {
    for (const auto& name : *names_) {
      if (callback->OnScanSource(std::make_shared<CVxAVScanObject>(VX_SCAN_OBJECT_FILE, name))) {
        break;
      }
    }
    return VxNASuccess();
  }
  VxNAResult<bool> getCollectHash() override { return false; }

 private:
  std::shared_ptr<const std::vector<std::wstring>> names_;
};

// Records every object as scanned and clean, and nothing else.
class NoOpScanner final : public IVxAVObjectScanner, public IVxAVScannerConfig {
 public:
  VxNAResult<> setEngine(std::shared_ptr<IVxAVEngine>) override { return VxNASuccess(); }
  VxNAResult<> setScanTypes(const std::set<std::uint16_t>&) override { return VxNASuccess(); }
  VxNAResult<> setCleanTypes(const std::set<std::uint16_t>&) override { return VxNASuccess(); }
  VxNAResult<> initialize() override { return VxNASuccess(); }
  VxNAResult<> reserved() override { return VxNASuccess(); }
  VxNAResult<> setCollectHash(bool) override { return VxNASuccess(); }

  VxNAResult<> scanObject(std::shared_ptr<CVxAVScanObject> object) override {
    if (gStatementSeverity != 0) {
      VX_LOG(gStatementSeverity, L"BenchScanner::scanObject") << L"BenchScanner::scanObject - scanned " << object->getPath();
    }
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


namespace fs = std::filesystem;

// A machine folder of its own for one case; VX_MACHINE_DIR points at it while
// the case's log is made.
class BenchMachine {
 public:
  explicit BenchMachine(const std::string& name) {
    std::string pattern = (fs::temp_directory_path() / ("vxlogbench-" + name + ".XXXXXX")).string();
    if (::mkdtemp(pattern.data()) != nullptr) root_ = pattern;
    ::setenv("VX_MACHINE_DIR", root_.c_str(), 1);
    fs::create_directories(root_ / "Vexora" / "VXLOGS");
  }
  ~BenchMachine() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  BenchMachine(const BenchMachine&) = delete;
  BenchMachine& operator=(const BenchMachine&) = delete;

  void globalSetting(const wchar_t* key, std::uint32_t value) const {
    CVxProtectedIniStore::writeNumber((root_ / "Vexora" / "VXLOGS" / "log.ini").string(), L"Config", key, value);
  }

 private:
  fs::path root_;
};

// One reference to a file log, released at the end.
struct LogReference {
  IVxLogBackEnd* log = nullptr;
  LogReference() { createFileLog(L"PartnerCustom", nullptr, nullptr, &log); }
  ~LogReference() {
    if (log != nullptr) log->Release();
  }
  LogReference(const LogReference&) = delete;
  LogReference& operator=(const LogReference&) = delete;
};

void BM_FileLogLinesFromFourThreads(benchmark::State& state) {
  // Shared by the four threads: thread 0 makes them before the loop and drops
  // them after it; Google Benchmark starts and ends every thread's loop together.
  static std::unique_ptr<BenchMachine> machine;
  static std::unique_ptr<LogReference> reference;
  if (state.thread_index() == 0) {
    machine = std::make_unique<BenchMachine>("lines");
    reference = std::make_unique<LogReference>();
  }
  const std::wstring message = L"CVxAVScannerKernel::OnScanSource - object queued, count = ";
  std::uint32_t n = 0;
  for (auto _ : state) {
    if (reference->log == nullptr) {
      state.SkipWithError("no file log");
      break;
    }
    reference->log->logInformation(L"VxAVScannerKernelPasses", L"CVxAVScannerKernel::OnScanSource", 42, L"%ls%u",
                                   message.c_str(), n++);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["lines_per_second"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  if (state.thread_index() == 0) {
    reference.reset();
    machine.reset();
  }
}
BENCHMARK(BM_FileLogLinesFromFourThreads)->Threads(4)->UseRealTime()->MinTime(2.0);

enum class Logging { NoStatement = 0, Off = 1, DefaultNormalStatement = 2, DefaultInformationStatement = 3 };

void BM_KernelScanWithLogStatementPerObject(benchmark::State& state) {
  const auto mode = static_cast<Logging>(state.range(0));
  constexpr std::size_t kObjects = 10000;
  BenchMachine machine("scan" + std::to_string(state.range(0)));
  if (mode == Logging::Off) machine.globalSetting(L"Enable", 0);
  LogReference reference;
  logstream::instance().setBackEnd(reference.log);
  gStatementSeverity = mode == Logging::NoStatement                    ? 0u
                       : mode == Logging::DefaultInformationStatement ? std::uint32_t{VX_LOG_INFORMATION}
                                                                      : std::uint32_t{VX_LOG_NORMAL};

  auto names = std::make_shared<std::vector<std::wstring>>();
  for (std::size_t i = 0; i < kObjects; ++i) names->push_back(L"/bench/object/" + std::to_wstring(i));
  CVxAVScannerKernelFactories factories;
  factories.getAVEngine = [] { return VxNAResult<std::shared_ptr<IVxAVEngine>>(std::make_shared<NoEngine>()); };
  factories.createXMLConfig = [names] {
    return VxNAResult<std::shared_ptr<IVxAVScannerXMLConfig>>(std::make_shared<ListConfig>(names));
  };
  factories.createObjectScanner = [] {
    return VxNAResult<std::shared_ptr<IVxAVObjectScanner>>(std::make_shared<NoOpScanner>());
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
  gStatementSeverity = 0;
  logstream::instance().setBackEnd(nullptr);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kObjects * 2));
  state.counters["us_per_object"] = benchmark::Counter(static_cast<double>(state.iterations() * kObjects * 2) / 1e6,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_KernelScanWithLogStatementPerObject)
    ->ArgName("logging")
    ->Arg(static_cast<int>(Logging::NoStatement))
    ->Arg(static_cast<int>(Logging::Off))
    ->Arg(static_cast<int>(Logging::DefaultNormalStatement))
    ->Arg(static_cast<int>(Logging::DefaultInformationStatement))
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
