// One whole kernel scan (profile pass, then scan pass) over trivial objects with
// a scanner that does nothing: what is measured is the kernel's own cost per
// object (queueing, the scan threads' hand-off, progress, completion, merging).
#include "bench/TrivialKernelScan.h"

namespace {

void BM_KernelScanOfTrivialObjects(benchmark::State& state) {
  benchsupport::runTrivialKernelScans(state, static_cast<std::size_t>(state.range(0)));
}
BENCHMARK(BM_KernelScanOfTrivialObjects)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
