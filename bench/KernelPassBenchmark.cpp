// One whole kernel scan (profile pass, then scan pass) over trivial objects with
// a scanner that does nothing: what is measured is the kernel's own cost per
// object (queueing, the scan threads' hand-off, progress, completion, merging).
#include "bench/TrivialKernelScan.h"

namespace {

void BM_KernelScanOfTrivialObjects(benchmark::State& state) {
  benchsupport::runTrivialKernelScans(state, static_cast<std::size_t>(state.range(0)));
}
// 200,000 modules: a machine far past any real one, for the memory a scan holds
// per object and whether the time per object stays flat.
BENCHMARK(BM_KernelScanOfTrivialObjects)->Arg(10000)->Arg(200000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
