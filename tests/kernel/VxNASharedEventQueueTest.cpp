#include "kernel/VxNASharedEventQueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Item = std::shared_ptr<VxNAEventInfoBaseObj>;

constexpr auto kDeadline = 30s;
// Watch on a consumer that must stay blocked; fails only if it returns with something.
constexpr auto kStillBlockedProbe = 50ms;

Item makeItem(std::uint32_t id) { return std::make_shared<VxNAEventInfoBaseObj>(0x1, id); }
Item makeAbort() { return std::make_shared<VxNAEventInfoBaseObj>(VX_EVENT_FLAG_ABORT, 0); }

// waitPop may come back empty after a wake-up that another consumer won; a
// consumer simply waits again.
Item popBlocking(VxNASharedEventQueue& queue, std::uint64_t* generation = nullptr) {
  for (;;) {
    if (Item item = queue.waitPop(generation)) return item;
  }
}

// ---------------------------------------------------------------------------
// Single-threaded behaviour

TEST(VxNASharedEventQueueTest, NullPushesAreIgnored) {
  VxNASharedEventQueue queue;
  queue.push(nullptr, false);
  queue.push(nullptr, true);
  EXPECT_EQ(queue.tryPop(), nullptr);

  // Nothing was queued ahead of a real item, and no abort state was entered.
  queue.push(nullptr, false);
  const Item item = makeItem(1);
  queue.push(item, false);
  EXPECT_EQ(queue.tryPop(), item);
  EXPECT_EQ(queue.tryPop(), nullptr);
}

TEST(VxNASharedEventQueueTest, ItemsComeOutInPushOrder) {
  VxNASharedEventQueue queue;
  std::vector<Item> pushed;
  for (std::uint32_t id = 1; id <= 8; ++id) {
    pushed.push_back(makeItem(id));
    queue.push(pushed.back(), false);
  }
  // Mixed ways of taking: both serve the same FIFO.
  for (std::size_t i = 0; i < pushed.size(); ++i) {
    EXPECT_EQ(i % 2 == 0 ? queue.tryPop() : queue.waitPop(), pushed[i]) << i;
  }
  EXPECT_EQ(queue.tryPop(), nullptr);
}

TEST(VxNASharedEventQueueTest, StickyItemIsReturnedByEveryPopAndHidesEarlierItems) {
  VxNASharedEventQueue queue;
  queue.push(makeItem(1), false);
  queue.push(makeItem(2), false);
  const Item abort = makeAbort();
  queue.push(abort, true);
  queue.push(makeItem(3), false);

  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(queue.tryPop(), abort) << "pop " << i;
    EXPECT_EQ(queue.waitPop(), abort) << "pop " << i;
  }
}

// A cancel drops the pending objects; a teardown's stop signal given just
// before must still reach every worker.
TEST(VxNASharedEventQueueTest, DropPendingKeepsTheAbortItem) {
  VxNASharedEventQueue queue;
  queue.push(makeItem(1), false);
  const Item abort = makeAbort();
  queue.push(abort, true);
  const std::uint64_t before = queue.generation();
  queue.dropPending();
  EXPECT_EQ(queue.generation(), before + 1);
  EXPECT_EQ(queue.tryPop(), abort);
  EXPECT_EQ(queue.waitPop(), abort);

  queue.clear();
  queue.push(makeItem(2), false);
  queue.dropPending();
  EXPECT_EQ(queue.tryPop(), nullptr);
}

TEST(VxNASharedEventQueueTest, ClearEmptiesTheQueueAndStartsANewGeneration) {
  VxNASharedEventQueue queue;
  queue.push(makeItem(1), false);
  queue.push(makeAbort(), true);
  std::uint64_t before = 99;
  ASSERT_NE(queue.tryPop(&before), nullptr);
  EXPECT_EQ(before, queue.generation());

  queue.clear();
  std::uint64_t after = 99;
  EXPECT_EQ(queue.tryPop(&after), nullptr);
  EXPECT_EQ(after, before + 1);
  EXPECT_EQ(queue.generation(), before + 1);

  // The queue works normally again: the abort state went with the clear.
  const Item item = makeItem(2);
  queue.push(item, false);
  std::uint64_t taken = 99;
  EXPECT_EQ(queue.tryPop(&taken), item);
  EXPECT_EQ(taken, before + 1);
  EXPECT_EQ(queue.tryPop(), nullptr);
}

TEST(VxNASharedEventQueueTest, EachClearAdvancesTheGeneration) {
  VxNASharedEventQueue queue;
  const std::uint64_t first = queue.generation();
  for (std::uint64_t n = 1; n <= 3; ++n) {
    queue.clear();
    EXPECT_EQ(queue.generation(), first + n);
  }
}

// ---------------------------------------------------------------------------
// Consumers on other threads

// Consumer threads that take items until they see the abort item (or, with
// takeOne, one item each). A sticky push in the destructor releases whatever a
// failed test left waiting.
class Consumers {
 public:
  Consumers(VxNASharedEventQueue& queue, int count, bool takeOne) : queue_(queue) {
    received_.resize(count);
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this, i, takeOne] {
        for (;;) {
          const Item item = popBlocking(queue_);
          {
            std::lock_guard guard(lock_);
            received_[i].push_back(item);
            if (item->isAbort()) {
              ++aborted_;
            } else {
              ++items_;
            }
          }
          changed_.notify_all();
          if (item->isAbort() || takeOne) return;
        }
      });
    }
  }
  ~Consumers() {
    queue_.push(makeAbort(), true);
    for (auto& thread : threads_) thread.join();
  }
  Consumers(const Consumers&) = delete;
  Consumers& operator=(const Consumers&) = delete;

  bool awaitItems(std::size_t count) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, kDeadline, [&] { return items_ >= count; });
  }
  bool awaitAborted(std::size_t count) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, kDeadline, [&] { return aborted_ >= count; });
  }
  void join() {
    for (auto& thread : threads_) thread.join();
    threads_.clear();
  }
  // Only after join().
  const std::vector<std::vector<Item>>& received() const { return received_; }

 private:
  VxNASharedEventQueue& queue_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::vector<Item>> received_;
  std::size_t items_ = 0;
  std::size_t aborted_ = 0;
  std::vector<std::thread> threads_;
};

TEST(VxNASharedEventQueueConsumersTest, ConsumerBlockedInWaitPopAfterClearIsReleasedByAPush) {
  VxNASharedEventQueue queue;
  queue.push(makeItem(1), false);
  queue.push(makeAbort(), true);
  queue.clear();
  const std::uint64_t generation = queue.generation();

  // The push before the clear may have left a wake-up behind; the consumer must
  // shrug it off and keep waiting.
  auto consumer = std::async(std::launch::async, [&] {
    std::uint64_t seen = 0;
    Item item = popBlocking(queue, &seen);
    return std::make_pair(item, seen);
  });
  const bool blocked = consumer.wait_for(kStillBlockedProbe) == std::future_status::timeout;
  const Item item = makeItem(2);
  queue.push(item, false);
  ASSERT_EQ(consumer.wait_for(kDeadline), std::future_status::ready);
  const auto [out, seen] = consumer.get();
  EXPECT_EQ(out, item);
  EXPECT_EQ(seen, generation);
  EXPECT_TRUE(blocked) << "the consumer got something from the cleared queue";
}

TEST(VxNASharedEventQueueConsumersTest, ThreeItemsGoToThreeOfFourWaitingConsumers) {
  VxNASharedEventQueue queue;
  Consumers consumers(queue, 4, /*takeOne=*/true);
  const std::vector<Item> pushed{makeItem(1), makeItem(2), makeItem(3)};
  for (const Item& item : pushed) queue.push(item, false);
  ASSERT_TRUE(consumers.awaitItems(pushed.size()));

  // The fourth consumer is still waiting; only an abort releases it.
  const Item abort = makeAbort();
  queue.push(abort, true);
  ASSERT_TRUE(consumers.awaitAborted(1));
  consumers.join();

  std::vector<Item> items;
  int abortedConsumers = 0;
  for (const std::vector<Item>& got : consumers.received()) {
    ASSERT_EQ(got.size(), 1u) << "each consumer takes exactly one item";
    if (got.front() == abort) {
      ++abortedConsumers;
    } else {
      items.push_back(got.front());
    }
  }
  EXPECT_EQ(abortedConsumers, 1);
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a->id < b->id; });
  EXPECT_EQ(items, pushed);
}

TEST(VxNASharedEventQueueConsumersTest, StickyPushReleasesEveryWaitingConsumer) {
  VxNASharedEventQueue queue;
  Consumers consumers(queue, 4, /*takeOne=*/false);
  const Item abort = makeAbort();
  queue.push(abort, true);
  ASSERT_TRUE(consumers.awaitAborted(4));
  consumers.join();
  for (const std::vector<Item>& got : consumers.received()) {
    EXPECT_EQ(got, std::vector<Item>{abort});
  }
}

// Rounds in which every consumer takes exactly one item: the items of a round are
// pushed while the consumers are just coming back to waitPop, so pushes and
// arriving waiters interleave in every possible way. A consumer never takes a
// second item in a round, so a wake-up that goes missing leaves an item behind
// for good, and the round never completes.
TEST(VxNASharedEventQueueConsumersTest, ItemsPushedWhileConsumersArriveAreNeverStranded) {
  constexpr int kConsumers = 4;
  constexpr int kRounds = 2000;
  VxNASharedEventQueue queue;
  std::mutex lock;
  std::condition_variable changed;
  int round = 0;
  int taken = 0;
  bool stop = false;

  std::vector<std::thread> consumers;
  for (int c = 0; c < kConsumers; ++c) {
    consumers.emplace_back([&] {
      for (int mine = 1;; ++mine) {
        {
          std::unique_lock guard(lock);
          changed.wait(guard, [&] { return round >= mine || stop; });
          if (stop) return;
        }
        const Item item = popBlocking(queue);
        if (item->isAbort()) return;
        {
          std::lock_guard guard(lock);
          ++taken;
        }
        changed.notify_all();
      }
    });
  }

  bool stranded = false;
  for (int r = 1; r <= kRounds && !stranded; ++r) {
    {
      std::lock_guard guard(lock);
      round = r;
    }
    changed.notify_all();
    for (int k = 0; k < kConsumers; ++k) queue.push(makeItem(static_cast<std::uint32_t>(k)), false);
    std::unique_lock guard(lock);
    stranded = !changed.wait_for(guard, kDeadline, [&] { return taken == r * kConsumers; });
    EXPECT_FALSE(stranded) << "round " << r << ": " << r * kConsumers - taken
                           << " item(s) left in the queue while a consumer waits";
  }

  {
    std::lock_guard guard(lock);
    stop = true;
  }
  changed.notify_all();
  queue.push(makeAbort(), true);
  for (auto& consumer : consumers) consumer.join();
}

struct LoadCase {
  const char* name;
  std::uint32_t items;
  // 0: the producer pushes without pausing. Otherwise it pushes bursts of 1 ..
  // maxBurst items and lets the consumers drain each burst, so that they go back
  // to sleep between bursts: the moment a lost wake-up would strand an item.
  std::uint32_t maxBurst;
};

void PrintTo(const LoadCase& c, std::ostream* os) { *os << c.name; }

class VxNASharedEventQueueLoadTest : public ::testing::TestWithParam<LoadCase> {};

TEST_P(VxNASharedEventQueueLoadTest, EveryItemReachesExactlyOneConsumer) {
  constexpr int kConsumers = 4;
  const LoadCase& c = GetParam();
  VxNASharedEventQueue queue;
  Consumers consumers(queue, kConsumers, /*takeOne=*/false);

  std::uint32_t burst = 0;
  for (std::uint32_t id = 0; id < c.items;) {
    const std::uint32_t size = c.maxBurst == 0 ? c.items : 1 + burst++ % c.maxBurst;
    for (std::uint32_t k = 0; k < size && id < c.items; ++k) queue.push(makeItem(id++), false);
    if (c.maxBurst != 0) {
      ASSERT_TRUE(consumers.awaitItems(id)) << "an item is stuck; pushed " << id;
    }
  }
  ASSERT_TRUE(consumers.awaitItems(c.items)) << "items are stuck in the queue";
  const Item abort = makeAbort();
  queue.push(abort, true);
  ASSERT_TRUE(consumers.awaitAborted(kConsumers));
  consumers.join();

  std::vector<int> seen(c.items, 0);
  for (const std::vector<Item>& got : consumers.received()) {
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), abort);
    // Each consumer sees the items it took in queue order.
    for (std::size_t i = 0; i + 1 < got.size(); ++i) {
      ASSERT_LT(got[i]->id, c.items);
      ++seen[got[i]->id];
      if (i > 0) {
        EXPECT_LT(got[i - 1]->id, got[i]->id);
      }
    }
  }
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<std::ptrdiff_t>(c.items));
}

INSTANTIATE_TEST_SUITE_P(Producers, VxNASharedEventQueueLoadTest,
                         ::testing::Values(LoadCase{"Continuous", 20000, 0},
                                           LoadCase{"Bursts", 20000, 8}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
