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

#include <filesystem>
#include <memory>
#include <string>

#include "bench/TrivialKernelScan.h"
#include "foundation/VxFileLog.h"
#include "foundation/VxFileLogFactory.h"
#include "foundation/VxLogStream.h"
#include "foundation/VxProtectedIniValue.h"

namespace {

constexpr wchar_t kLogSource[] = L"LogBenchmark";

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
  const std::uint32_t severity = mode == Logging::NoStatement                    ? 0u
                                 : mode == Logging::DefaultInformationStatement ? std::uint32_t{VX_LOG_INFORMATION}
                                                                                : std::uint32_t{VX_LOG_NORMAL};
  benchsupport::ObjectWork statement;
  if (severity != 0) {
    statement = [severity](const CVxAVScanObject& object) {
      VX_LOG(severity, L"BenchScanner::scanObject") << L"BenchScanner::scanObject - scanned " << object.getPath();
    };
  }
  benchsupport::runTrivialKernelScans(state, kObjects, statement);
  logstream::instance().setBackEnd(nullptr);
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
