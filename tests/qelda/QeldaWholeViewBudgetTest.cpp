// The budget of whole-file views: what it grants, what it refuses, that every
// byte comes back, and that concurrent scans never hold more than it allows.
#include "qelda/QeldaWholeViewBudget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <random>
#include <thread>
#include <vector>

namespace {

using qelda::WholeViewBudget;

TEST(QeldaWholeViewBudget, GrantsWhatFitsAndGetsEveryByteBack) {
  WholeViewBudget budget(100);
  {
    WholeViewBudget::Grant first = budget.take(60);
    ASSERT_TRUE(first);
    EXPECT_EQ(first.size(), 60u);
    EXPECT_NE(first.data(), nullptr);
    EXPECT_FALSE(budget.take(41)) << "only 40 bytes are left";
    WholeViewBudget::Grant second = budget.take(40);
    ASSERT_TRUE(second);
    EXPECT_EQ(budget.inUse(), 100u);
    EXPECT_FALSE(budget.take(1));
    // A moved grant is counted once and given back once.
    WholeViewBudget::Grant moved = std::move(first);
    EXPECT_FALSE(first);  // NOLINT(bugprone-use-after-move): the move empties it
    EXPECT_EQ(budget.inUse(), 100u);
    second = std::move(moved);
    EXPECT_EQ(budget.inUse(), 60u);
  }
  EXPECT_EQ(budget.inUse(), 0u);
  EXPECT_FALSE(budget.take(101));
  EXPECT_EQ(budget.inUse(), 0u);
}

// An allocator that fails, by returning nothing or by throwing as the heap does,
// gives an empty grant and counts nothing.
TEST(QeldaWholeViewBudget, FailedAllocationIsAnEmptyGrant) {
  const struct {
    const char* what;
    WholeViewBudget::Allocator allocate;
  } cases[] = {
      {"returns nothing", [](std::size_t) { return std::unique_ptr<std::uint8_t[]>(); }},
      {"throws bad_alloc", [](std::size_t) -> std::unique_ptr<std::uint8_t[]> { throw std::bad_alloc(); }},
  };
  for (const auto& c : cases) {
    WholeViewBudget budget(1 << 20, c.allocate);
    EXPECT_FALSE(budget.take(4096)) << c.what;
    EXPECT_EQ(budget.inUse(), 0u) << c.what;
  }
}

TEST(QeldaWholeViewBudget, TheProcessBudgetIsOneGibibyte) {
  WholeViewBudget& budget = WholeViewBudget::process();
  EXPECT_EQ(&budget, &WholeViewBudget::process());
  const std::uint64_t before = budget.inUse();
  // Asking for more than all of it is refused without allocating anything.
  EXPECT_FALSE(budget.take(static_cast<std::size_t>(qelda::kWholeViewBudgetBytes) + 1));
  EXPECT_EQ(budget.inUse(), before);
}

// Threads take and give back grants of assorted sizes at once; the bytes they
// hold together never exceed the budget, and all of them come back.
TEST(QeldaWholeViewBudget, ConcurrentScansNeverHoldMoreThanTheBudget) {
  constexpr std::uint64_t kLimit = 1 << 16;
  WholeViewBudget budget(kLimit);
  std::atomic<std::uint64_t> held{0};
  std::atomic<std::uint64_t> mostHeld{0};
  std::atomic<int> granted{0};
  std::vector<std::thread> threads;
  for (unsigned t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::minstd_rand random(t + 1);
      std::uniform_int_distribution<std::size_t> size(1, kLimit / 3);
      for (int round = 0; round < 2000; ++round) {
        WholeViewBudget::Grant grant = budget.take(size(random));
        if (!grant) continue;
        granted.fetch_add(1, std::memory_order_relaxed);
        grant.data()[0] = 1;
        grant.data()[grant.size() - 1] = 1;
        const std::uint64_t now = held.fetch_add(grant.size()) + grant.size();
        std::uint64_t most = mostHeld.load();
        while (now > most && !mostHeld.compare_exchange_weak(most, now)) {
        }
        held.fetch_sub(grant.size());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_LE(mostHeld.load(), kLimit);
  EXPECT_GT(granted.load(), 0);
  EXPECT_EQ(budget.inUse(), 0u);
}

}  // namespace
