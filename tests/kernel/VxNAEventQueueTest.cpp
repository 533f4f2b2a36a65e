#include "kernel/VxNAEventQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Event.h"

namespace {

using namespace std::chrono_literals;
using Item = std::shared_ptr<VxNAEventInfoBaseObj>;

constexpr auto kDeadline = 30s;
// Watch on a consumer that must stay blocked; fails only if it returns with nothing.
constexpr auto kStillBlockedProbe = 50ms;

Item makeItem(std::uint32_t id, std::uint32_t flags = 0) {
  return std::make_shared<VxNAEventInfoBaseObj>(flags, id);
}

void expectAbortMarker(const Item& item) {
  ASSERT_NE(item, nullptr);
  EXPECT_TRUE(item->isAbort());
  EXPECT_EQ(item->flags, VX_EVENT_FLAG_ABORT);
  EXPECT_EQ(item->id, 0u);
}

TEST(VxNAEventQueueTest, PostMarksItemsPostedAndKeepsTheirOtherFlags) {
  struct Case {
    std::uint32_t flagsBefore;
    std::uint32_t flagsAfter;
  };
  const std::vector<Case> cases{{0x0, 0x1}, {0x1, 0x1}, {0x4, 0x5}, {0x2 | 0x10, 0x13}};
  VxNAEventQueue queue;
  for (const Case& c : cases) {
    const Item item = makeItem(7, c.flagsBefore);
    queue.post(item);
    const Item out = queue.wait();
    EXPECT_EQ(out, item);
    EXPECT_EQ(out->flags, c.flagsAfter) << "flags before " << c.flagsBefore;
    EXPECT_TRUE(out->isDeliverable());
  }
}

TEST(VxNAEventQueueTest, ItemsComeOutInPostingOrder) {
  VxNAEventQueue queue;
  std::vector<Item> posted;
  for (std::uint32_t id = 1; id <= 10; ++id) {
    posted.push_back(makeItem(id));
    queue.post(posted.back());
  }
  for (const Item& expected : posted) EXPECT_EQ(queue.wait(), expected);
}

TEST(VxNAEventQueueTest, NullPostIsIgnored) {
  VxNAEventQueue queue;
  queue.post(nullptr);
  const Item real = makeItem(1);
  queue.post(real);
  EXPECT_EQ(queue.wait(), real);
}

TEST(VxNAEventQueueTest, AbortMarkerPostedLastComesOutFirst) {
  VxNAEventQueue queue;
  const std::vector<Item> posted{makeItem(1), makeItem(2), makeItem(3)};
  for (const Item& item : posted) queue.post(item);
  queue.postAbort();

  expectAbortMarker(queue.wait());
  for (const Item& expected : posted) EXPECT_EQ(queue.wait(), expected);
}

TEST(VxNAEventQueueTest, AbortMarkerWinsOverItemsPostedAfterIt) {
  VxNAEventQueue queue;
  queue.post(makeItem(1));
  queue.postAbort();
  queue.post(makeItem(2));

  expectAbortMarker(queue.wait());
  EXPECT_EQ(queue.wait()->id, 1u);
  EXPECT_EQ(queue.wait()->id, 2u);
}

struct WakeCase {
  const char* name;
  bool abort;  // what the other thread posts: the abort marker or a normal item
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const WakeCase& c, std::ostream* os) { *os << c.name; }

class VxNAEventQueueWakeTest : public ::testing::TestWithParam<WakeCase> {};

TEST_P(VxNAEventQueueWakeTest, WaitBlocksUntilAnotherThreadPosts) {
  VxNAEventQueue queue;
  platform::Event aboutToWait(platform::Event::ResetPolicy::Manual,
                              platform::Event::InitialState::NotSignaled);
  auto consumer = std::async(std::launch::async, [&] {
    aboutToWait.set();
    return queue.wait();
  });
  ASSERT_TRUE(aboutToWait.waitFor(kDeadline));
  const bool blocked = consumer.wait_for(kStillBlockedProbe) == std::future_status::timeout;

  const Item item = makeItem(42);
  std::async(std::launch::async, [&] {
    if (GetParam().abort) {
      queue.postAbort();
    } else {
      queue.post(item);
    }
  }).get();

  ASSERT_EQ(consumer.wait_for(kDeadline), std::future_status::ready);
  const Item out = consumer.get();
  EXPECT_TRUE(blocked) << "wait returned before anything was posted";
  if (GetParam().abort) {
    expectAbortMarker(out);
  } else {
    EXPECT_EQ(out, item);
  }
}

INSTANTIATE_TEST_SUITE_P(Posts, VxNAEventQueueWakeTest,
                         ::testing::Values(WakeCase{"Item", false}, WakeCase{"Abort", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VxNAEventQueueTest, ClearDropsEverythingOnBothLanes) {
  VxNAEventQueue queue;
  queue.post(makeItem(1));
  queue.post(makeItem(2));
  queue.postAbort();
  queue.clear();

  // Only what is posted after the clear comes out.
  const Item fresh = makeItem(3);
  queue.post(fresh);
  EXPECT_EQ(queue.wait(), fresh);

  // And the queue is empty again: a consumer blocks until the next post.
  auto consumer = std::async(std::launch::async, [&] { return queue.wait(); });
  const bool blocked = consumer.wait_for(kStillBlockedProbe) == std::future_status::timeout;
  const Item last = makeItem(4);
  queue.post(last);
  ASSERT_EQ(consumer.wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(consumer.get(), last);
  EXPECT_TRUE(blocked) << "an item survived the clear";
}

}  // namespace
