#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Event.h"

namespace {

using platform::Event;
using platform::Thread;
using namespace std::chrono_literals;

constexpr auto kDeadline = 30s;

std::shared_ptr<Event> makeManualEvent() {
  return std::make_shared<Event>(Event::ResetPolicy::Manual, Event::InitialState::NotSignaled);
}

// What a body shares with its test. Held by shared pointer so that a body that
// outlives its Thread object (detached) never touches a finished test's stack.
struct BodyState {
  std::shared_ptr<Event> release = makeManualEvent();
  std::shared_ptr<Event> finished = makeManualEvent();
  std::atomic<std::uint32_t> seenId{0};
  std::atomic<int> runs{0};
};

std::function<void()> blockingBody(const std::shared_ptr<BodyState>& state) {
  return [state] {
    state->seenId = platform::currentThreadId();
    ++state->runs;
    state->release->wait();
    state->finished->set();
  };
}

TEST(ThreadTest, StartRunsTheBodyOnAnotherThreadWithItsId) {
  auto state = std::make_shared<BodyState>();
  Thread thread;
  ASSERT_EQ(thread.start(blockingBody(state)), 0u);

  EXPECT_NE(thread.id(), 0u);
  EXPECT_NE(thread.id(), platform::currentThreadId());
  EXPECT_FALSE(thread.isCurrentThread());

  state->release->set();
  ASSERT_TRUE(thread.waitFor(kDeadline));
  thread.join();
  EXPECT_EQ(state->runs.load(), 1);
  // start() returns only once the id is known, and it is the id the body runs under.
  EXPECT_EQ(state->seenId.load(), thread.id());
}

TEST(ThreadTest, HasEndedAndWaitForFollowTheBody) {
  auto state = std::make_shared<BodyState>();
  Thread thread;
  ASSERT_EQ(thread.start(blockingBody(state)), 0u);

  EXPECT_FALSE(thread.hasEnded());
  EXPECT_FALSE(thread.waitFor(0ms));
  EXPECT_FALSE(thread.waitFor(10ms));

  state->release->set();
  EXPECT_TRUE(thread.waitFor(kDeadline));
  EXPECT_TRUE(thread.hasEnded());
  // Reading the end does not consume it.
  EXPECT_TRUE(thread.hasEnded());
  EXPECT_TRUE(thread.waitFor(0ms));
  thread.join();
  EXPECT_TRUE(state->finished->isSignaled());
}

TEST(ThreadTest, JoinWaitsForABodyThatIsStillRunning) {
  auto state = std::make_shared<BodyState>();
  Thread thread;
  ASSERT_EQ(thread.start(blockingBody(state)), 0u);
  state->release->set();
  thread.join();
  EXPECT_TRUE(state->finished->isSignaled());
  EXPECT_TRUE(thread.hasEnded());
}

TEST(ThreadTest, EachThreadHasItsOwnId) {
  auto first = std::make_shared<BodyState>();
  auto second = std::make_shared<BodyState>();
  Thread a;
  Thread b;
  ASSERT_EQ(a.start(blockingBody(first)), 0u);
  ASSERT_EQ(b.start(blockingBody(second)), 0u);
  EXPECT_NE(a.id(), b.id());
  first->release->set();
  second->release->set();
  a.join();
  b.join();
}

TEST(ThreadTest, DestroyingARunningThreadLetsTheBodyRunOn) {
  auto state = std::make_shared<BodyState>();
  {
    Thread thread;
    ASSERT_EQ(thread.start(blockingBody(state)), 0u);
    EXPECT_FALSE(thread.hasEnded());
  }
  state->release->set();
  EXPECT_TRUE(state->finished->waitFor(kDeadline));
  EXPECT_EQ(state->runs.load(), 1);
}

TEST(ThreadTest, DetachedThreadRunsToItsEnd) {
  auto state = std::make_shared<BodyState>();
  Thread thread;
  ASSERT_EQ(thread.start(blockingBody(state)), 0u);
  thread.detach();
  state->release->set();
  EXPECT_TRUE(state->finished->waitFor(kDeadline));
}

}  // namespace
