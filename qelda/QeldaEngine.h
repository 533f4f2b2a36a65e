/*
 * One started engine (one AVInitialise) and the table of engines by handle.
 *
 * An Engine is immutable after start and shared by every AVScanObject on its
 * handle (the verdict cache it reaches is a concurrent object of its data set); the records it hands out through the initialisation record live inside
 * it and stay valid until AVClose. EngineRegistry is safe for concurrent use: a
 * scan holds its own reference, so AVClose during a scan frees the engine only
 * when that scan returns.
 */
#ifndef QELDA_ENGINE_H
#define QELDA_ENGINE_H

#include "engine/VxAVEngineABI.h"
#include "qelda/QeldaCacheSettings.h"
#include "qelda/QeldaDataSet.h"
#include "qelda/QeldaWholeViewBudget.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

namespace qelda {

inline constexpr std::uint32_t kEngineVersionMajor = 1;
inline constexpr std::uint32_t kEngineVersionMinor = 0;
inline constexpr std::uint32_t kEngineBuild = 1;

class Engine {
 public:
  // An empty machine folder keeps verdicts in $VX_MACHINE_DIR, else /var/lib.
  // Whole-file views come out of `budget`, the process's by default. Whether the
  // cache the settings ask for can be kept is looked at here (cacheOffReason).
  explicit Engine(std::shared_ptr<const DataSet> dataSet, CacheSettings cache = {}, std::string machineFolder = {},
                  WholeViewBudget& budget = WholeViewBudget::process());
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  const DataSet& dataSet() const { return *dataSet_; }
  // Shared by every scan of every engine it was given to; thread-safe.
  WholeViewBudget& wholeViewBudget() const { return budget_; }
  // The verdicts this engine may use; null when its cache is off.
  VerdictCache* verdicts() const;
  // Why the cache is off, in words; empty when it is on.
  std::string cacheOffReason() const;
  // How long before a scan started a file's ctime must lie for its verdict to be kept.
  std::int64_t settleNs() const { return cache_.settleNs; }
  // Loads the stored verdicts of this data set, the first time any engine on it asks.
  void loadVerdicts() const;
  // Stores the verdicts when they changed since they were loaded or last stored.
  void saveVerdicts() const;
  // Fills the caller's initialisation record (handle included).
  void describe(std::uint64_t handle, AV_INITIALISATION& initialisation) const;

 private:
  std::shared_ptr<const DataSet> dataSet_;
  CacheSettings cache_;
  std::string machineFolder_;
  // Why the cache could not be kept when the engine started; empty when it could.
  std::string unusable_;
  WholeViewBudget& budget_;
  AV_DATASETRECORD record_{};
  const AV_DATASETRECORD* recordPointers_[1];
};

class EngineRegistry {
 public:
  static EngineRegistry& instance();

  std::uint64_t add(std::shared_ptr<const Engine> engine);  // 0 when out of memory
  std::shared_ptr<const Engine> find(std::uint64_t handle);
  // The engine taken out of the table; null when the handle names none.
  std::shared_ptr<const Engine> remove(std::uint64_t handle);

  // Objects of this process answered from a verdict cache so far.
  void countCacheHit() { cacheHits_.fetch_add(1, std::memory_order_relaxed); }
  std::uint64_t cacheHits() const { return cacheHits_.load(std::memory_order_relaxed); }
  // Why the cache of the engine started last was off; empty when it was on.
  void noteCacheState(std::string offReason);
  std::string cacheOffReason();

 private:
  // Every scanned object looks its engine up; adding and removing are rare.
  std::shared_mutex lock_;
  std::uint64_t nextHandle_ = 0x5145'0000'0000'0001ull;
  std::map<std::uint64_t, std::shared_ptr<const Engine>> engines_;
  std::atomic<std::uint64_t> cacheHits_{0};
  std::mutex cacheStateLock_;
  std::string cacheOffReason_;
};

}  // namespace qelda

#endif
