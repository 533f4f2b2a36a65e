#include "qelda/QeldaWholeViewBudget.h"

#include <new>
#include <utility>

namespace qelda {
namespace {

std::unique_ptr<std::uint8_t[]> allocateFromHeap(std::size_t bytes) {
  return std::make_unique_for_overwrite<std::uint8_t[]>(bytes);
}

}  // namespace

WholeViewBudget::WholeViewBudget(std::uint64_t limit, Allocator allocate)
    : limit_(limit), allocate_(allocate ? std::move(allocate) : Allocator(allocateFromHeap)) {}

WholeViewBudget& WholeViewBudget::process() {
  static WholeViewBudget budget(kWholeViewBudgetBytes);
  return budget;
}

WholeViewBudget::Grant WholeViewBudget::take(std::size_t bytes) noexcept {
  {
    // The bytes are counted before the allocation, outside the lock, so that
    // two scans never both pass a check that only one of them fits.
    std::lock_guard guard(lock_);
    if (bytes > limit_ - used_) return {};
    used_ += bytes;
  }
  std::unique_ptr<std::uint8_t[]> buffer;
  try {
    buffer = allocate_(bytes);
  } catch (...) {
    // bad_alloc above all; whatever the allocator threw, there is no buffer.
  }
  if (!buffer) {
    giveBack(bytes);
    return {};
  }
  return Grant(this, std::move(buffer), bytes);
}

std::uint64_t WholeViewBudget::inUse() const {
  std::lock_guard guard(lock_);
  return used_;
}

void WholeViewBudget::giveBack(std::size_t bytes) noexcept {
  std::lock_guard guard(lock_);
  used_ -= bytes;
}

WholeViewBudget::Grant::Grant(Grant&& other) noexcept
    : budget_(std::exchange(other.budget_, nullptr)),
      buffer_(std::move(other.buffer_)),
      bytes_(std::exchange(other.bytes_, 0)) {}

WholeViewBudget::Grant& WholeViewBudget::Grant::operator=(Grant&& other) noexcept {
  if (this != &other) {
    release();
    budget_ = std::exchange(other.budget_, nullptr);
    buffer_ = std::move(other.buffer_);
    bytes_ = std::exchange(other.bytes_, 0);
  }
  return *this;
}

WholeViewBudget::Grant::~Grant() { release(); }

void WholeViewBudget::Grant::release() noexcept {
  // The buffer goes before its bytes are counted free, so the budget never
  // undercounts what is allocated.
  buffer_.reset();
  if (budget_ != nullptr) budget_->giveBack(bytes_);
  budget_ = nullptr;
  bytes_ = 0;
}

}  // namespace qelda
