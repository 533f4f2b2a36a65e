#include "qelda/QeldaEngine.h"

#include "qelda/QeldaCacheTrust.h"
#include "qelda/QeldaPrivateFile.h"
#include "qelda/QeldaVerdictCacheFile.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <new>

namespace qelda {
namespace {

std::string describeFileError(int error) {
  if (error == EPERM) return "owned by another user or writable by others";
  if (error == ELOOP) return "reached through a symbolic link";
  const char* text = ::strerrordesc_np(error);
  return text != nullptr ? text : "error " + std::to_string(error);
}

// Why verdicts could not be kept in `machine` by this process; empty when they can.
std::string whyCacheUnusable(const std::string& machine) {
  if (!cacheRuntimeIdentity()) return "the builds of the engine and of libyara cannot be told";
  const Fd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!root.valid() || !kernelTellsMountsApart(root.get())) {
    return "the kernel does not tell one mount from the next (Linux 6.8 or later)";
  }
  if (const int error = preparePrivateFolder(machine)) {
    return verdictMachineFolder(machine) + "/Vexora: " + describeFileError(error);
  }
  return {};
}

// A stored file that cannot be trusted is left alone and the cache stays off:
// writing over it would hide what someone did there.
bool refusedFile(int loadError) { return loadError == EPERM || loadError == ELOOP || loadError == EACCES; }

}  // namespace

Engine::Engine(std::shared_ptr<const DataSet> dataSet, CacheSettings cache, std::string machineFolder,
               WholeViewBudget& budget)
    : dataSet_(std::move(dataSet)), cache_(cache), machineFolder_(std::move(machineFolder)), budget_(budget) {
  if (cache_.enabled && dataSet_->verdicts) unusable_ = whyCacheUnusable(machineFolder_);
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
  return VerdictCacheIdentity{dataSet.sha256, {kEngineVersionMajor, kEngineVersionMinor, kEngineBuild},
                              cacheRuntimeIdentity().value_or(std::array<std::uint8_t, 32>{})};
}

}  // namespace

VerdictCache* Engine::verdicts() const {
  VerdictCache* cache = dataSet_->verdicts.get();
  if (!cache_.enabled || !unusable_.empty() || cache == nullptr || refusedFile(cache->loadError())) return nullptr;
  return cache;
}

std::string Engine::cacheOffReason() const {
  if (!cache_.enabled || dataSet_->verdicts == nullptr) return "turned off";
  if (!unusable_.empty()) return unusable_;
  if (const int error = dataSet_->verdicts->loadError(); refusedFile(error)) {
    return verdictCacheFilePath(machineFolder_) + " refused: " + describeFileError(error);
  }
  return {};
}

void Engine::loadVerdicts() const {
  VerdictCache* cache = verdicts();
  if (cache == nullptr) return;
  // A damaged file loads nothing and the next save replaces it; one that is
  // refused turns the cache off (cacheOffReason).
  cache->loadOnce([this](VerdictCache& into) { return qelda::loadVerdicts(machineFolder_, identityOf(*dataSet_), into); });
}

void Engine::saveVerdicts() const {
  VerdictCache* cache = verdicts();
  if (cache == nullptr || !cache->takeChanges()) return;
  qelda::saveVerdicts(machineFolder_, identityOf(*dataSet_), *cache);
}

void EngineRegistry::noteCacheState(std::string offReason) {
  std::lock_guard guard(cacheStateLock_);
  cacheOffReason_ = std::move(offReason);
}

std::string EngineRegistry::cacheOffReason() {
  std::lock_guard guard(cacheStateLock_);
  return cacheOffReason_;
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
