/*
 * One started engine (one AVInitialise) and the table of engines by handle.
 *
 * An Engine is immutable after start and shared by every AVScanObject on its
 * handle; the records it hands out through the initialisation record live inside
 * it and stay valid until AVClose. EngineRegistry is safe for concurrent use: a
 * scan holds its own reference, so AVClose during a scan frees the engine only
 * when that scan returns.
 */
#ifndef QELDA_ENGINE_H
#define QELDA_ENGINE_H

#include "engine/VxAVEngineABI.h"
#include "qelda/QeldaDataSet.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace qelda {

inline constexpr std::uint32_t kEngineVersionMajor = 1;
inline constexpr std::uint32_t kEngineVersionMinor = 0;
inline constexpr std::uint32_t kEngineBuild = 1;

class Engine {
 public:
  explicit Engine(std::shared_ptr<const DataSet> dataSet);
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  const DataSet& dataSet() const { return *dataSet_; }
  // Fills the caller's initialisation record (handle included).
  void describe(std::uint64_t handle, AV_INITIALISATION& initialisation) const;

 private:
  std::shared_ptr<const DataSet> dataSet_;
  AV_DATASETRECORD record_{};
  const AV_DATASETRECORD* recordPointers_[1];
};

class EngineRegistry {
 public:
  static EngineRegistry& instance();

  std::uint64_t add(std::shared_ptr<const Engine> engine);  // 0 when out of memory
  std::shared_ptr<const Engine> find(std::uint64_t handle);
  bool remove(std::uint64_t handle);

 private:
  std::mutex lock_;
  std::uint64_t nextHandle_ = 0x5145'0000'0000'0001ull;
  std::map<std::uint64_t, std::shared_ptr<const Engine>> engines_;
};

}  // namespace qelda

#endif
