// Throughput of the shared scan queue: one producer, four consumers, as a kernel
// feeds its scan threads.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "kernel/VxNASharedEventQueue.h"

namespace {

void BM_SharedQueueFourConsumers(benchmark::State& state) {
  const auto items = static_cast<std::size_t>(state.range(0));
  constexpr int kConsumers = 4;
  for (auto _ : state) {
    auto queue = std::make_shared<VxNASharedEventQueue>();
    std::atomic<std::size_t> received{0};
    std::vector<std::thread> consumers;
    for (int i = 0; i < kConsumers; ++i) {
      consumers.emplace_back([&] {
        for (;;) {
          auto item = queue->waitPop();
          if (item == nullptr) continue;
          if (item->isAbort()) return;
          received.fetch_add(1, std::memory_order_relaxed);
        }
      });
    }
    for (std::size_t i = 0; i < items; ++i) {
      queue->push(std::make_shared<VxNAEventInfoBaseObj>(), false);
    }
    // The abort item overtakes pending items, so wait until all were taken.
    while (received.load(std::memory_order_relaxed) < items) std::this_thread::yield();
    queue->push(std::make_shared<VxNAEventInfoBaseObj>(VX_EVENT_FLAG_ABORT, 0), true);
    for (auto& consumer : consumers) consumer.join();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * items));
}
BENCHMARK(BM_SharedQueueFourConsumers)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
