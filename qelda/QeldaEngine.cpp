#include "qelda/QeldaEngine.h"

#include "qelda/QeldaVerdictCacheFile.h"

#include <cstring>
#include <new>

namespace qelda {

Engine::Engine(std::shared_ptr<const DataSet> dataSet, CacheSettings cache, std::string machineFolder,
               WholeViewBudget& budget)
    : dataSet_(std::move(dataSet)), cache_(cache), machineFolder_(std::move(machineFolder)), budget_(budget) {
  // The first four bytes name the record's kind so that a reader can tell it from
  // records a later engine may append.
  std::memcpy(record_.engineData0, "QDS1", 4);
  record_.versionMajor = dataSet_->names.versionMajor;
  record_.versionMinor = dataSet_->names.versionMinor;
  recordPointers_[0] = &record_;
}

void Engine::describe(std::uint64_t handle, AV_INITIALISATION& initialisation) const {
  initialisation.engineHandle = handle;
  initialisation.engineVersionMajor = kEngineVersionMajor;
  initialisation.engineVersionMinor = kEngineVersionMinor;
  initialisation.engineValue = kEngineBuild;
  initialisation.recordCount = 1;
  initialisation.reserved = 0;
  initialisation.records = AV_PTR_TO_U64(recordPointers_);
}

namespace {

VerdictCacheIdentity identityOf(const DataSet& dataSet) {
  return VerdictCacheIdentity{dataSet.sha256, {kEngineVersionMajor, kEngineVersionMinor, kEngineBuild}};
}

}  // namespace

void Engine::loadVerdicts() const {
  VerdictCache* cache = verdicts();
  if (cache == nullptr) return;
  // A file that is refused loads nothing; the next save replaces it.
  cache->loadOnce([this](VerdictCache& into) { qelda::loadVerdicts(machineFolder_, identityOf(*dataSet_), into); });
}

void Engine::saveVerdicts() const {
  VerdictCache* cache = verdicts();
  if (cache == nullptr || !cache->takeChanges()) return;
  qelda::saveVerdicts(machineFolder_, identityOf(*dataSet_), *cache);
}

EngineRegistry& EngineRegistry::instance() {
  static EngineRegistry registry;
  return registry;
}

std::uint64_t EngineRegistry::add(std::shared_ptr<const Engine> engine) try {
  std::lock_guard guard(lock_);
  const std::uint64_t handle = nextHandle_++;
  engines_.emplace(handle, std::move(engine));
  return handle;
} catch (const std::bad_alloc&) {
  return 0;
}

std::shared_ptr<const Engine> EngineRegistry::find(std::uint64_t handle) {
  std::shared_lock guard(lock_);
  const auto found = engines_.find(handle);
  return found == engines_.end() ? nullptr : found->second;
}

std::shared_ptr<const Engine> EngineRegistry::remove(std::uint64_t handle) {
  std::lock_guard guard(lock_);
  const auto found = engines_.find(handle);
  if (found == engines_.end()) return nullptr;
  std::shared_ptr<const Engine> released = std::move(found->second);
  engines_.erase(found);
  return released;
}

}  // namespace qelda
