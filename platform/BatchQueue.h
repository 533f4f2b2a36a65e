#pragma once
// BatchQueue: hands batches of values from one producer thread to one consumer.
//
// The producer's put waits while `capacity` batches are pending and returns false
// once the consumer has stopped; finish ends the stream, with the producer's
// failure if it had one. The consumer's take waits for the next batch and returns
// false at the end of the stream, rethrowing the producer's failure once the
// batches before it have been taken; stop tells the producer that nothing more is
// wanted.
//
// Thread-safety: one producer and one consumer, each on its own thread.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {

template <class T>
class BatchQueue {
 public:
  explicit BatchQueue(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}
  BatchQueue(const BatchQueue&) = delete;
  BatchQueue& operator=(const BatchQueue&) = delete;

  bool put(std::vector<T> batch) {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return stopped_ || pending_.size() < capacity_; });
    if (stopped_) return false;
    pending_.push_back(std::move(batch));
    changed_.notify_all();
    return true;
  }

  void finish(std::exception_ptr failure = nullptr) {
    std::lock_guard guard(lock_);
    finished_ = true;
    failure_ = std::move(failure);
    changed_.notify_all();
  }

  bool take(std::vector<T>& batch) {
    std::unique_lock guard(lock_);
    changed_.wait(guard, [&] { return !pending_.empty() || finished_; });
    if (pending_.empty()) {
      if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
      return false;
    }
    batch = std::move(pending_.front());
    pending_.pop_front();
    changed_.notify_all();
    return true;
  }

  void stop() {
    std::lock_guard guard(lock_);
    stopped_ = true;
    pending_.clear();
    changed_.notify_all();
  }

 private:
  const std::size_t capacity_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<std::vector<T>> pending_;
  bool finished_ = false;
  bool stopped_ = false;
  std::exception_ptr failure_;
};

}  // namespace platform
