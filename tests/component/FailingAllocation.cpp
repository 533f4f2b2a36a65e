#include "tests/component/FailingAllocation.h"

#include <cstdlib>
#include <new>

namespace {
// Per thread, so that the kernel's and other threads are never hit.
thread_local std::size_t tAllocationsUntilFailure = 0;  // 0: no failure armed
thread_local bool tFailed = false;
}  // namespace

// The whole family of replaceable (unaligned) forms is replaced, so that code in
// loaded modules never pairs one form of ours with another of the runtime's.
namespace {
void* allocate(std::size_t size) {
  if (tAllocationsUntilFailure != 0 && --tAllocationsUntilFailure == 0) {
    tFailed = true;
    return nullptr;
  }
  return std::malloc(size == 0 ? 1 : size);
}

void* allocateOrThrow(std::size_t size) {
  if (void* block = allocate(size)) return block;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocateOrThrow(size); }
void* operator new[](std::size_t size) { return allocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace vxtest {

FailNthAllocation::FailNthAllocation(std::size_t n) {
  tFailed = false;
  tAllocationsUntilFailure = n;
}

FailNthAllocation::~FailNthAllocation() { tAllocationsUntilFailure = 0; }

bool FailNthAllocation::failed() const { return tFailed; }

void forEachAllocationFailing(const std::function<bool(std::size_t n)>& run) {
  for (std::size_t n = 1; run(n); ++n) {
  }
}

}  // namespace vxtest
