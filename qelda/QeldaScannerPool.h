/*
 * Scanners and block buffers of one rule set, lent one per running scan and
 * taken back when it ends, so that a scan thread reuses the scanner and the
 * buffer of its previous object instead of allocating both for each object.
 * Lending and returning take a short lock once per object, never per block.
 *
 * Only a scanner whose scan ended normally goes back: after a libyara error, a
 * time-out, a stop or a fault caught in a callback, its state (partial matches,
 * loaded module data, a shortened time-out) is not trusted for another object,
 * and the scan discards the lease, which destroys the scanner.
 *
 * Safe for concurrent use. The pool belongs to its data set; every lease is a
 * scan that holds the data set, so no lease outlives the pool.
 */
#ifndef QELDA_SCANNER_POOL_H
#define QELDA_SCANNER_POOL_H

#include <yara.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace qelda {

struct ScanWorkspace {
  struct ScannerDeleter {
    void operator()(YR_SCANNER* scanner) const { yr_scanner_destroy(scanner); }
  };
  std::unique_ptr<YR_SCANNER, ScannerDeleter> scanner;
  std::unique_ptr<std::uint8_t[]> buffer;  // kBlockBufferSize bytes
};

class ScannerPool {
 public:
  explicit ScannerPool(YR_RULES* rules) : rules_(rules) {}
  ScannerPool(const ScannerPool&) = delete;
  ScannerPool& operator=(const ScannerPool&) = delete;

  // A workspace for one scan; back to the pool when the lease ends.
  class Lease {
   public:
    Lease(ScannerPool& pool, std::unique_ptr<ScanWorkspace> workspace)
        : pool_(&pool), workspace_(std::move(workspace)) {}
    Lease(Lease&&) = default;
    Lease& operator=(Lease&&) = delete;
    ~Lease() {
      if (workspace_) pool_->giveBack(std::move(workspace_));
    }
    ScanWorkspace* operator->() const { return workspace_.get(); }
    ScanWorkspace& operator*() const { return *workspace_; }
    // The scan did not end normally: the workspace is destroyed, never lent again.
    void discard() { workspace_.reset(); }

   private:
    ScannerPool* pool_;
    std::unique_ptr<ScanWorkspace> workspace_;
  };

  // Throws std::bad_alloc when neither an idle workspace nor memory for a new one
  // is there.
  Lease borrow();

 private:
  void giveBack(std::unique_ptr<ScanWorkspace> workspace);

  YR_RULES* rules_;
  std::mutex lock_;
  std::vector<std::unique_ptr<ScanWorkspace>> idle_;
};

}  // namespace qelda

#endif
