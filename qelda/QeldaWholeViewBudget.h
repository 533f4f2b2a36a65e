/*
 * The memory that whole-file views may take, shared by every scan running at
 * once.
 *
 * A format module (pe, elf, ...) is shown a file of more than one block whole,
 * from a buffer as large as the file (QeldaBlockReader.h). Four scan threads on
 * four files just below kLargestWholeView would each hold such a buffer, and
 * several engines in one process more; a budget bounds their sum. A scan that
 * finds the budget spent, or whose allocation fails, gets no whole view: its
 * module is shown the file block by block instead, so running short of memory
 * never fails a scan and never escapes into libyara as an exception.
 *
 * A Grant owns its buffer and gives its bytes back to the budget when it ends;
 * every grant must end before its budget does. The budget is safe for
 * concurrent use from any number of threads; a Grant belongs to one thread at a
 * time.
 */
#ifndef QELDA_WHOLE_VIEW_BUDGET_H
#define QELDA_WHOLE_VIEW_BUDGET_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace qelda {

inline constexpr std::uint64_t kWholeViewBudgetBytes = 1ull << 30;

class WholeViewBudget {
 public:
  // Returns a buffer of the given size, or null when there is no memory for it.
  // Tests hand in one that fails; the default allocates from the heap.
  using Allocator = std::function<std::unique_ptr<std::uint8_t[]>(std::size_t bytes)>;

  explicit WholeViewBudget(std::uint64_t limit, Allocator allocate = {});
  WholeViewBudget(const WholeViewBudget&) = delete;
  WholeViewBudget& operator=(const WholeViewBudget&) = delete;

  // The process's budget, kWholeViewBudgetBytes for all its engines.
  static WholeViewBudget& process();

  class Grant {
   public:
    Grant() = default;
    Grant(Grant&& other) noexcept;
    Grant& operator=(Grant&& other) noexcept;
    ~Grant();
    Grant(const Grant&) = delete;
    Grant& operator=(const Grant&) = delete;

    explicit operator bool() const { return buffer_ != nullptr; }
    std::uint8_t* data() const { return buffer_.get(); }
    std::size_t size() const { return bytes_; }

   private:
    friend class WholeViewBudget;
    Grant(WholeViewBudget* budget, std::unique_ptr<std::uint8_t[]> buffer, std::size_t bytes)
        : budget_(budget), buffer_(std::move(buffer)), bytes_(bytes) {}
    void release() noexcept;

    WholeViewBudget* budget_ = nullptr;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t bytes_ = 0;
  };

  // A buffer of `bytes` counted against the budget; an empty grant when the
  // budget has not that much left or the allocation failed. Never throws.
  Grant take(std::size_t bytes) noexcept;

  // Bytes currently granted.
  std::uint64_t inUse() const;

 private:
  void giveBack(std::size_t bytes) noexcept;

  const std::uint64_t limit_;
  const Allocator allocate_;
  mutable std::mutex lock_;
  std::uint64_t used_ = 0;
};

}  // namespace qelda

#endif
