#include "platform/Event.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::Event;
using namespace std::chrono_literals;

// Generous bound for anything that must happen; a correct build never gets near it.
constexpr auto kDeadline = 30s;
// How long a waiter that must stay blocked is watched. It can only fail when the
// waiter returns without a signal, never because the machine is slow.
constexpr auto kStillBlockedProbe = 50ms;

std::unique_ptr<Event> makeEvent(Event::ResetPolicy policy, bool signaled = false) {
  return std::make_unique<Event>(policy, signaled ? Event::InitialState::Signaled
                                                  : Event::InitialState::NotSignaled);
}

// Sets every event on scope exit, so that a test that fails early never leaves a
// thread blocked on them (and a future's destructor waiting for it).
class SetAllOnExit {
 public:
  explicit SetAllOnExit(std::span<Event* const> events) : events_(events) {}
  ~SetAllOnExit() {
    for (Event* event : events_) event->set();
  }
  SetAllOnExit(const SetAllOnExit&) = delete;
  SetAllOnExit& operator=(const SetAllOnExit&) = delete;

 private:
  std::span<Event* const> events_;
};

std::string policyName(Event::ResetPolicy policy) {
  return policy == Event::ResetPolicy::Manual ? "Manual" : "Automatic";
}

// ---------------------------------------------------------------------------
// Reset semantics

struct ResetCase {
  std::string name;
  Event::ResetPolicy policy;
  bool initiallySignaled;
  // isSignaled() read twice in a row right after construction.
  bool firstRead;
  bool secondRead;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const ResetCase& c, std::ostream* os) { *os << c.name; }

class EventResetTest : public ::testing::TestWithParam<ResetCase> {};

TEST_P(EventResetTest, InitialStateAndConsumptionByIsSignaled) {
  const ResetCase& c = GetParam();
  auto event = makeEvent(c.policy, c.initiallySignaled);
  EXPECT_EQ(event->isSignaled(), c.firstRead);
  EXPECT_EQ(event->isSignaled(), c.secondRead);
}

INSTANTIATE_TEST_SUITE_P(
    Policies, EventResetTest,
    ::testing::Values(ResetCase{"ManualSignaled", Event::ResetPolicy::Manual, true, true, true},
                      ResetCase{"ManualNotSignaled", Event::ResetPolicy::Manual, false, false,
                                false},
                      ResetCase{"AutoSignaled", Event::ResetPolicy::Automatic, true, true, false},
                      ResetCase{"AutoNotSignaled", Event::ResetPolicy::Automatic, false, false,
                                false}),
    [](const auto& info) { return info.param.name; });

class EventPolicyTest : public ::testing::TestWithParam<Event::ResetPolicy> {
 protected:
  bool manual() const { return GetParam() == Event::ResetPolicy::Manual; }
};

TEST_P(EventPolicyTest, SetStaysUntilResetOnlyForManual) {
  auto event = makeEvent(GetParam());
  event->set();
  EXPECT_TRUE(event->isSignaled());
  EXPECT_EQ(event->isSignaled(), manual());
  EXPECT_EQ(event->waitFor(0ms), manual());

  event->set();
  event->reset();
  EXPECT_FALSE(event->isSignaled());
  EXPECT_FALSE(event->waitFor(0ms));
}

TEST_P(EventPolicyTest, RepeatedSetsWithoutWaiterLeaveOneSignal) {
  auto event = makeEvent(GetParam());
  event->set();
  event->set();
  event->set();
  EXPECT_TRUE(event->waitFor(0ms));
  EXPECT_EQ(event->waitFor(0ms), manual());
}

TEST_P(EventPolicyTest, WaitReturnsAtOnceWhenAlreadySignaled) {
  auto event = makeEvent(GetParam(), true);
  event->wait();
  EXPECT_EQ(event->isSignaled(), manual());
}

TEST_P(EventPolicyTest, WaitForTimesOutWhenNeverSet) {
  auto event = makeEvent(GetParam());
  EXPECT_FALSE(event->waitFor(10ms));
  EXPECT_FALSE(event->isSignaled());
}

INSTANTIATE_TEST_SUITE_P(Policies, EventPolicyTest,
                         ::testing::Values(Event::ResetPolicy::Manual,
                                           Event::ResetPolicy::Automatic),
                         [](const auto& info) { return policyName(info.param); });

// ---------------------------------------------------------------------------
// waitAny over events that are already signalled

struct LowestIndexCase {
  std::string name;
  Event::ResetPolicy policy;
  std::vector<std::size_t> signaled;  // indices set before the wait, out of 4 events
  std::size_t expected;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const LowestIndexCase& c, std::ostream* os) { *os << c.name; }

class EventWaitAnyLowestTest : public ::testing::TestWithParam<LowestIndexCase> {};

TEST_P(EventWaitAnyLowestTest, ReturnsLowestSignaledAndConsumesOnlyThatOne) {
  const LowestIndexCase& c = GetParam();
  std::vector<std::unique_ptr<Event>> owned;
  std::vector<Event*> events;
  for (int i = 0; i < 4; ++i) {
    owned.push_back(makeEvent(c.policy));
    events.push_back(owned.back().get());
  }
  for (std::size_t index : c.signaled) events[index]->set();

  EXPECT_EQ(Event::waitAny(events), c.expected);
  if (c.policy == Event::ResetPolicy::Manual) {
    // Nothing was consumed, so the same event wins again.
    EXPECT_EQ(Event::waitAny(events), c.expected);
  }
  for (std::size_t i = 0; i < events.size(); ++i) {
    const bool wasSet = std::find(c.signaled.begin(), c.signaled.end(), i) != c.signaled.end();
    const bool consumed = c.policy == Event::ResetPolicy::Automatic && i == c.expected;
    EXPECT_EQ(events[i]->isSignaled(), wasSet && !consumed) << "event " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EventWaitAnyLowestTest,
    ::testing::Values(
        LowestIndexCase{"AutoOnlyFirst", Event::ResetPolicy::Automatic, {0}, 0},
        LowestIndexCase{"AutoOnlyLast", Event::ResetPolicy::Automatic, {3}, 3},
        LowestIndexCase{"AutoOneAndThree", Event::ResetPolicy::Automatic, {3, 1}, 1},
        LowestIndexCase{"AutoAll", Event::ResetPolicy::Automatic, {0, 1, 2, 3}, 0},
        LowestIndexCase{"AutoTwoAndThree", Event::ResetPolicy::Automatic, {2, 3}, 2},
        LowestIndexCase{"ManualOneAndThree", Event::ResetPolicy::Manual, {1, 3}, 1},
        LowestIndexCase{"ManualAll", Event::ResetPolicy::Manual, {0, 1, 2, 3}, 0}),
    [](const auto& info) { return info.param.name; });

TEST(EventWaitAnyTest, SuccessiveWaitsDrainAutoResetEventsInIndexOrder) {
  std::array<std::unique_ptr<Event>, 3> owned{makeEvent(Event::ResetPolicy::Automatic),
                                              makeEvent(Event::ResetPolicy::Automatic),
                                              makeEvent(Event::ResetPolicy::Automatic)};
  const std::array<Event*, 3> events{owned[0].get(), owned[1].get(), owned[2].get()};
  for (Event* event : events) event->set();

  EXPECT_EQ(Event::waitAny(events), 0u);
  EXPECT_EQ(Event::waitAny(events), 1u);
  EXPECT_EQ(Event::waitAny(events), 2u);
  EXPECT_EQ(Event::waitAnyFor(events, 0ms), std::nullopt);
}

// ---------------------------------------------------------------------------
// Blocking waits released from another thread

struct BlockedWaitCase {
  std::string name;
  Event::ResetPolicy policy;
  std::size_t setIndex;
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const BlockedWaitCase& c, std::ostream* os) { *os << c.name; }

class EventWaitAnyBlockingTest : public ::testing::TestWithParam<BlockedWaitCase> {};

TEST_P(EventWaitAnyBlockingTest, BlockedWaiterReturnsIndexOfEventSetByAnotherThread) {
  const BlockedWaitCase& c = GetParam();
  std::array<std::unique_ptr<Event>, 3> owned{makeEvent(c.policy), makeEvent(c.policy),
                                              makeEvent(c.policy)};
  const std::array<Event*, 3> events{owned[0].get(), owned[1].get(), owned[2].get()};
  Event aboutToWait(Event::ResetPolicy::Manual, Event::InitialState::NotSignaled);

  auto result = std::async(std::launch::async, [&] {
    aboutToWait.set();
    return Event::waitAny(events);
  });
  const SetAllOnExit releaseOnFailure(events);
  ASSERT_TRUE(aboutToWait.waitFor(kDeadline));
  ASSERT_EQ(result.wait_for(kStillBlockedProbe), std::future_status::timeout)
      << "waitAny returned although nothing was set";

  events[c.setIndex]->set();
  ASSERT_EQ(result.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(result.get(), c.setIndex);
  // The released waiter took the signal of an auto-reset event; a manual one keeps it.
  EXPECT_EQ(events[c.setIndex]->isSignaled(), c.policy == Event::ResetPolicy::Manual);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EventWaitAnyBlockingTest,
    ::testing::Values(BlockedWaitCase{"AutoFirst", Event::ResetPolicy::Automatic, 0},
                      BlockedWaitCase{"AutoMiddle", Event::ResetPolicy::Automatic, 1},
                      BlockedWaitCase{"AutoLast", Event::ResetPolicy::Automatic, 2},
                      BlockedWaitCase{"ManualMiddle", Event::ResetPolicy::Manual, 1}),
    [](const auto& info) { return info.param.name; });

// Threads that each wait once on one event and count themselves out.
class WaiterPool {
 public:
  WaiterPool(Event& event, int count) : event_(event) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this] {
        {
          std::lock_guard guard(lock_);
          ++waiting_;
        }
        changed_.notify_all();
        event_.wait();
        {
          std::lock_guard guard(lock_);
          ++released_;
        }
        changed_.notify_all();
      });
    }
  }
  // Releases whoever a failed test left waiting, so that the joins cannot hang.
  ~WaiterPool() {
    for (auto& thread : threads_) {
      event_.set();
      thread.join();
    }
  }
  WaiterPool(const WaiterPool&) = delete;
  WaiterPool& operator=(const WaiterPool&) = delete;

  bool awaitWaiting(int count) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, kDeadline, [&] { return waiting_ >= count; });
  }
  bool awaitReleased(int count, std::chrono::milliseconds within = kDeadline) {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, within, [&] { return released_ >= count; });
  }
  int released() {
    std::lock_guard guard(lock_);
    return released_;
  }

 private:
  Event& event_;
  std::mutex lock_;
  std::condition_variable changed_;
  int waiting_ = 0;
  int released_ = 0;
  std::vector<std::thread> threads_;
};

TEST(EventAutoResetWaitersTest, EachSetReleasesExactlyOneBlockedWaiter) {
  constexpr int kWaiters = 3;
  Event event(Event::ResetPolicy::Automatic, Event::InitialState::NotSignaled);
  WaiterPool pool(event, kWaiters);
  ASSERT_TRUE(pool.awaitWaiting(kWaiters));
  ASSERT_FALSE(pool.awaitReleased(1, kStillBlockedProbe));

  for (int round = 1; round <= kWaiters; ++round) {
    event.set();
    ASSERT_TRUE(pool.awaitReleased(round)) << "set " << round << " released nobody";
    if (round < kWaiters) {
      EXPECT_FALSE(pool.awaitReleased(round + 1, kStillBlockedProbe))
          << "set " << round << " released more than one waiter";
    }
    EXPECT_EQ(pool.released(), round);
  }
  // Every set was taken by a waiter, so none is left on the event.
  EXPECT_FALSE(event.isSignaled());
}

TEST(EventManualResetWaitersTest, OneSetReleasesEveryBlockedWaiter) {
  constexpr int kWaiters = 3;
  Event event(Event::ResetPolicy::Manual, Event::InitialState::NotSignaled);
  WaiterPool pool(event, kWaiters);
  ASSERT_TRUE(pool.awaitWaiting(kWaiters));

  event.set();
  EXPECT_TRUE(pool.awaitReleased(kWaiters));
  EXPECT_TRUE(event.isSignaled());
}

// ---------------------------------------------------------------------------
// Time-outs

TEST(EventWaitAnyForTest, TimeOutReturnsNothingAndALaterSetReachesTheNextWaiter) {
  auto first = makeEvent(Event::ResetPolicy::Automatic);
  auto second = makeEvent(Event::ResetPolicy::Automatic);
  const std::array<Event*, 2> events{first.get(), second.get()};

  EXPECT_EQ(Event::waitAnyFor(events, 10ms), std::nullopt);

  second->set();
  EXPECT_EQ(Event::waitAnyFor(events, kDeadline), std::optional<std::size_t>(1));
  EXPECT_FALSE(second->isSignaled());
}

TEST(EventWaitAnyForTest, TimedOutWaiterFromAnotherThreadDoesNotSwallowALaterSet) {
  auto event = makeEvent(Event::ResetPolicy::Automatic);
  Event* const events[] = {event.get()};

  auto timedOut = std::async(std::launch::async, [&] { return Event::waitAnyFor(events, 10ms); });
  ASSERT_EQ(timedOut.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(timedOut.get(), std::nullopt);

  event->set();
  auto next = std::async(std::launch::async, [&] { return Event::waitAnyFor(events, kDeadline); });
  ASSERT_EQ(next.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(next.get(), std::optional<std::size_t>(0));
}

// A set that races with a waiter's time-out must end up in exactly one place:
// either the waiter reports it, or it stays on the event for the next waiter.
// Each round places the set at a different moment around the waiter's deadline,
// including just after it, while the timed-out waiter is still leaving.
TEST(EventWaitAnyForTest, SetRacingWithTimeOutIsDeliveredExactlyOnce) {
  constexpr int kRounds = 1000;
  constexpr auto kTimeout = 1ms;
  auto quiet = makeEvent(Event::ResetPolicy::Automatic);
  auto target = makeEvent(Event::ResetPolicy::Automatic);
  const std::array<Event*, 2> events{quiet.get(), target.get()};
  int deliveredToWaiter = 0;

  for (int round = 0; round < kRounds; ++round) {
    Event aboutToWait(Event::ResetPolicy::Manual, Event::InitialState::NotSignaled);
    std::atomic<std::chrono::steady_clock::time_point> waitStart{};
    auto waiter = std::async(std::launch::async, [&] {
      waitStart = std::chrono::steady_clock::now();
      aboutToWait.set();
      return Event::waitAnyFor(events, kTimeout);
    });
    ASSERT_TRUE(aboutToWait.waitFor(kDeadline));
    // From 20 us before the deadline to 180 us after it (timed waits end late by
    // the timer slack), in 1 us steps. A spin, not a sleep: it only spreads the
    // moment of the set; nothing waits on it.
    const auto offset = std::chrono::microseconds(round % 200 - 20);
    const auto setAt = waitStart.load() + kTimeout + offset;
    while (std::chrono::steady_clock::now() < setAt) {
    }
    target->set();

    ASSERT_EQ(waiter.wait_for(kDeadline), std::future_status::ready);
    const std::optional<std::size_t> result = waiter.get();
    const bool leftOnEvent = target->isSignaled();
    if (result.has_value()) {
      ++deliveredToWaiter;
      EXPECT_EQ(*result, 1u) << "round " << round;
      EXPECT_FALSE(leftOnEvent) << "round " << round << ": one set was seen twice";
    } else {
      EXPECT_TRUE(leftOnEvent) << "round " << round << ": the set was lost";
    }
    EXPECT_FALSE(quiet->isSignaled());
  }
  RecordProperty("DeliveredToWaiter", deliveredToWaiter);
}

}  // namespace
