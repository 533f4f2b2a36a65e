// One thread hands batches to another: order and completeness with a full
// queue, a consumer that stops early, and a producer that fails.
#include "platform/BatchQueue.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace {

constexpr int kBatches = 500;
constexpr int kPerBatch = 7;

std::vector<int> batchNumber(int n) { return std::vector<int>(kPerBatch, n); }

TEST(BatchQueue, EveryBatchArrivesInOrderThroughAFullQueue) {
  platform::BatchQueue<int> queue(2);
  std::thread producer([&] {
    for (int n = 0; n < kBatches; ++n) EXPECT_TRUE(queue.put(batchNumber(n)));
    queue.finish();
  });
  std::vector<int> batch;
  int expected = 0;
  while (queue.take(batch)) EXPECT_EQ(batch, batchNumber(expected++));
  producer.join();
  EXPECT_EQ(expected, kBatches);
  EXPECT_FALSE(queue.take(batch));
}

TEST(BatchQueue, ProducerLearnsThatTheConsumerStopped) {
  platform::BatchQueue<int> queue(2);
  int refusedAt = -1;
  std::thread producer([&] {
    for (int n = 0; n < kBatches; ++n) {
      if (!queue.put(batchNumber(n))) {
        refusedAt = n;
        break;
      }
    }
    queue.finish();
  });
  std::vector<int> batch;
  ASSERT_TRUE(queue.take(batch));
  EXPECT_EQ(batch, batchNumber(0));
  queue.stop();
  producer.join();
  // The producer can have filled the queue once more at most before it learnt.
  EXPECT_GE(refusedAt, 1);
  EXPECT_LE(refusedAt, 3);
  EXPECT_FALSE(queue.take(batch));
}

TEST(BatchQueue, ProducerFailureFollowsTheBatchesBeforeIt) {
  platform::BatchQueue<int> queue(4);
  std::thread producer([&] {
    queue.put(batchNumber(0));
    queue.put(batchNumber(1));
    queue.finish(std::make_exception_ptr(std::runtime_error("reading failed")));
  });
  std::vector<int> batch;
  ASSERT_TRUE(queue.take(batch));
  EXPECT_EQ(batch, batchNumber(0));
  ASSERT_TRUE(queue.take(batch));
  EXPECT_EQ(batch, batchNumber(1));
  EXPECT_THROW(queue.take(batch), std::runtime_error);
  producer.join();
  EXPECT_FALSE(queue.take(batch));
}

}  // namespace
