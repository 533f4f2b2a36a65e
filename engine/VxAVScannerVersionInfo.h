#pragma once
// CVxAVScannerVersionInfo: the three version texts the kernel reports: the file
// version of this component's module (type 0), the engine version (type 1) and the
// data-set version (type 2). The engine and data-set versions come from a private
// engine instance, started with the scanning engine's settings plus the version
// query, on the first request that finds the texts missing; it stays open until
// this object is destroyed.
//
// The three texts are worked out together. A failure is returned with its code and
// nothing is kept as computed, so the next request tries again from the start; a
// private engine that failed to start is dropped and started anew.
//
// Thread-safety: every getter may be called from any thread. The lock guards the
// texts, the computed flag and the creation of the private engine; the work itself
// runs without the lock, so two threads that both find the texts missing may both
// compute them, with the same result.
//
// getAVScannerVersionInfo is the kernel's factory: it reads the settings from
// "AVScanner.ini" beside the host executable and starts nothing.
#include <cstdint>
#include <memory>
#include <string>

#include "engine/IVxAVEngineConfig.h"
#include "engine/IVxAVScannerVersionInfo.h"
#include "foundation/VxNAResult.h"
#include "platform/RecursiveMutex.h"

class CVxAVScannerVersionInfo final : public IVxAVScannerVersionInfo {
 public:
  // The component module looked up when the settings file names none.
  static constexpr char kDefaultComponentName[] = "libovrascan.so";

  // engineFolder is the host folder: the engine's folder and the place of the
  // settings file that may name the component module.
  CVxAVScannerVersionInfo(std::uint32_t productId, std::uint32_t productLocale,
                          std::string engineFolder, std::string namesPath, std::string scanPath,
                          std::string cleanPath);
  CVxAVScannerVersionInfo(const CVxAVScannerVersionInfo&) = delete;
  CVxAVScannerVersionInfo& operator=(const CVxAVScannerVersionInfo&) = delete;

  VxNAResult<> getComponentVersion(std::wstring& version) override;
  VxNAResult<> getEngineVersion(std::wstring& version) override;
  VxNAResult<> getDataSetVersion(std::wstring& version) override;

 private:
  VxNAResult<> getVersion(const std::wstring CVxAVScannerVersionInfo::*text, std::wstring& version);
  bool copyWhenComputed(const std::wstring CVxAVScannerVersionInfo::*text, std::wstring& version);
  VxNAResult<> computeAll();
  VxNAResult<> computeComponentVersion();
  VxNAResult<std::shared_ptr<CVxAVEngineInitResults>> privateEngineResults();
  VxNAResult<std::shared_ptr<IVxAVEngineConfig>> startPrivateEngine() const;
  void store(std::wstring CVxAVScannerVersionInfo::*text, std::wstring value);

  platform::RecursiveMutex lock_;
  bool computed_ = false;
  std::wstring componentVersion_;
  std::wstring engineVersion_;
  std::wstring dataSetVersion_;
  std::shared_ptr<IVxAVEngineConfig> privateEngine_;

  const std::uint32_t productId_;
  const std::uint32_t productLocale_;
  const std::string engineFolder_;
  const std::string namesPath_;
  const std::string scanPath_;
  const std::string cleanPath_;
};

// The version object for the settings of the host executable's folder; 1627 when
// that folder is unknown, 8 when the object cannot be allocated.
VxNAResult<std::shared_ptr<IVxAVScannerVersionInfo>> getAVScannerVersionInfo();
// The same with the settings file of the given folder (hosts that keep it
// elsewhere, tests).
VxNAResult<std::shared_ptr<IVxAVScannerVersionInfo>> getAVScannerVersionInfo(
    const std::string& hostFolder);
