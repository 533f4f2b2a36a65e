#pragma once
// Failure injection for memory: the test program replaces the global operator
// new, and while a FailNthAllocation is alive the n-th allocation of the thread
// that made it (counting from 1) throws std::bad_alloc. Other threads, and
// allocations after the n-th, are served normally.
//
// forEachAllocationFailing runs a call again and again, failing its first,
// second, third ... allocation, until a run makes fewer allocations than the
// one to fail: every allocation on the call's path has then failed once. The
// run arms the failure itself (withNthAllocationFailing), around the product's
// call only, so that the test's own bookkeeping is never hit.
#include <cstddef>
#include <functional>

namespace vxtest {

class FailNthAllocation {
 public:
  explicit FailNthAllocation(std::size_t n);
  ~FailNthAllocation();
  FailNthAllocation(const FailNthAllocation&) = delete;
  FailNthAllocation& operator=(const FailNthAllocation&) = delete;

  // Whether the n-th allocation happened (and so failed).
  bool failed() const;
};

// Runs `product` with its n-th allocation failing; true when it got that far.
template <class Product>
bool withNthAllocationFailing(std::size_t n, Product&& product) {
  FailNthAllocation failing(n);
  product();
  return failing.failed();
}

// `run` gets the number of the allocation to fail and says whether it failed.
void forEachAllocationFailing(const std::function<bool(std::size_t n)>& run);

}  // namespace vxtest
