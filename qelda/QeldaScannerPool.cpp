#include "qelda/QeldaScannerPool.h"

#include "qelda/QeldaBlockReader.h"

#include <new>

namespace qelda {

ScannerPool::Lease ScannerPool::borrow() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!idle_.empty()) {
      auto workspace = std::move(idle_.back());
      idle_.pop_back();
      return Lease(*this, std::move(workspace));
    }
  }
  auto workspace = std::make_unique<ScanWorkspace>();
  YR_SCANNER* scanner = nullptr;
  if (yr_scanner_create(rules_, &scanner) != ERROR_SUCCESS) throw std::bad_alloc();
  workspace->scanner.reset(scanner);
  workspace->buffer = std::make_unique_for_overwrite<std::uint8_t[]>(kBlockBufferSize);
  return Lease(*this, std::move(workspace));
}

void ScannerPool::giveBack(std::unique_ptr<ScanWorkspace> workspace) {
  std::lock_guard<std::mutex> guard(lock_);
  try {
    idle_.push_back(std::move(workspace));
  } catch (const std::bad_alloc&) {
    // Out of memory for the list: the workspace is freed instead of kept.
  }
}

}  // namespace qelda
