#pragma once
// CVxAVEngineConfig: one engine instance, from its settings to its end. It collects
// the start-up parameters (IVxAVEngineConfig), starts the engine through the
// process's engine binding (CVxAVEngineLibrary) and then serves the engine handle
// (IVxAVEngine). It owns the handle: the destructor closes the engine exactly when
// Initialize() succeeded, so the engine stays open while anyone holds the object
// through either interface.
//
// Every setter requests its parameter code; at most ten codes may be requested and
// nothing can be set once the engine is started. A failed Initialize() leaves the
// object unstarted with its settings kept, so it may be tried again.
//
// Thread-safety: no lock. One thread configures and starts the object; after the
// start getHandle(), getInitResults() and getEngine() only read and may be called
// from any thread.
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "engine/IVxAVEngine.h"
#include "engine/IVxAVEngineConfig.h"
#include "engine/VxAVEngineABI.h"
#include "engine/VxAVEngineLibrary.h"
#include "foundation/VxNAResult.h"

class CVxAVEngineConfig final : public IVxAVEngineConfig, public IVxAVEngine {
  struct ConstructionKey {};

 public:
  static constexpr std::size_t kMaxParameterCodes = 10;
  static constexpr std::uint32_t kDefaultProductLocale = 1033;

  // Fails with 8 when the object cannot be allocated.
  static VxNAResult<std::shared_ptr<CVxAVEngineConfig>> create();

  explicit CVxAVEngineConfig(ConstructionKey);
  ~CVxAVEngineConfig() override;
  CVxAVEngineConfig(const CVxAVEngineConfig&) = delete;
  CVxAVEngineConfig& operator=(const CVxAVEngineConfig&) = delete;

  // IVxAVEngineConfig
  VxNAResult<> setProductInfo(std::uint32_t productId, std::uint32_t productLocale) override;
  VxNAResult<> setEngineFolder(const std::string& folder) override;
  VxNAResult<> setDataSetFiles(const std::string& namesPath, const std::string& scanPath,
                               const std::string& cleanPath) override;
  VxNAResult<> setVersionQuery(bool versionQuery) override;
  VxNAResult<> Initialize() override;
  VxNAResult<std::shared_ptr<CVxAVEngineInitResults>> getInitResults() override;
  VxNAResult<std::shared_ptr<IVxAVEngine>> getEngine() override;

  // IVxAVEngine
  VxNAResult<VxAVEngineHandle> getHandle() override;

  // The callback given to the engine at start-up. It handles no message: it notes
  // the call on standard output and always answers AV_CALLBACK_CONTINUE.
  static std::uint32_t Callback(const AV_CALLBACKCONTEXT* context, std::uint16_t message,
                                std::uint64_t argument1, std::uintptr_t argument2);

 private:
  friend struct CVxAVEngineConfigTestAccess;

  // The setters' common rule: the ten-code limit first, then the started state.
  VxNAResult<> checkSettable() const;
  VxNAResult<> requestParameter(std::uint16_t code);

  std::weak_ptr<CVxAVEngineConfig> self_;
  bool started_ = false;
  // The library the engine was started with, held until it is closed.
  VxAVEngineEntryPoints engine_;
  std::set<std::uint16_t> requestedCodes_;
  std::uint32_t productId_ = 0;
  std::uint32_t productLocale_ = kDefaultProductLocale;
  std::string engineFolder_;
  std::string namesPath_;
  std::string scanPath_;
  std::string cleanPath_;
  bool versionQuery_ = false;
  AV_INITIALISATION initialisation_{};
};
