#pragma once
// Doubles of the kernel's collaborators and of its client, scripted by a test:
// which sources the configuration expands to, how each object scans (size,
// detection, repair, failure, blocking until released or cancelled), and a client
// callback that records everything it hears.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "documents/IVxAVScanResultXML.h"
#include "documents/IVxAVScannerXMLConfig.h"
#include "engine/IVxAVEngine.h"
#include "engine/IVxAVObjectScanner.h"
#include "engine/IVxAVScannerConfig.h"
#include "engine/IVxAVScannerVersionInfo.h"
#include "foundation/VxAVScanObject.h"
#include "kernel/IVxAVScanner_Callback.h"
#include "kernel/VxAVScannerKernelFactories.h"
#include "platform/Event.h"

namespace vxtest {

inline constexpr std::chrono::seconds kDeadline{30};

// What the fake configuration holds.
struct ConfigScript {
  std::mutex lock;
  std::vector<std::wstring> sources;
  // The identity of each source, by position; sources past its end have none.
  std::vector<VxScanObjectIdentity> identities;
  // Parts of the sources the expansion reports it could not list.
  int unlistedSources = 0;
  std::uint32_t maxScanCount = 65535;
  std::set<std::uint32_t> scanTypes{0, 1, 2};
  std::set<std::uint32_t> cleanTypes{0, 1, 2};
  std::uint32_t setConfigurationError = 0;
  // The expansion runs out of memory.
  bool expansionOutOfMemory = false;
  // When set, the expansion offers its sources and then waits here before it
  // returns, holding the kernel thread inside the profile pass.
  std::shared_ptr<platform::Event> holdExpansion;
  platform::Event expansionHeld{platform::Event::ResetPolicy::Manual,
                                platform::Event::InitialState::NotSignaled};

  void setSources(std::vector<std::wstring> names);
  // Holds the kernel thread at the end of the next expansion until releaseExpansion.
  void holdNextExpansion();
  void releaseExpansion();
  bool waitExpansionHeld() { return expansionHeld.waitFor(kDeadline); }

 private:
  std::shared_ptr<platform::Event> hold_;
};

// How one object scans.
struct ObjectBehaviour {
  std::uint32_t size = 100;
  bool infected = false;   // detected whenever the scanner has scan types
  bool repaired = false;   // repaired whenever the scanner has clean types
  std::uint32_t fail = 0;  // scanObject fails with this code
  bool block = false;      // the scan waits for a cancel or for release
  bool recorded = true;    // the scanner keeps a record of the object
  bool ignoreCancel = false;  // the scan succeeds even when cancelled
  bool blockWhenScanning = false;  // blocks as `block`, but only when given scan types
  bool outOfMemory = false;   // scanObject runs out of memory
};

// What every fake object scanner of a test shares.
class ScanScript {
 public:
  void set(const std::wstring& name, ObjectBehaviour behaviour);
  ObjectBehaviour behaviourOf(const std::wstring& name);
  void setDefault(ObjectBehaviour behaviour);

  // When false, a cancel only marks the scanner: a blocked scan keeps running
  // until release(), like an engine that is slow to notice.
  bool cancelReleasesBlockedScan = true;
  // Ends every blocked scan (now and later) normally.
  void release();
  // Blocked scans block again.
  void rearm() { released_.reset(); }
  platform::Event& releaseEvent() { return released_; }

  // One scan as the scanner was given it.
  struct ScannedObject {
    std::wstring name;
    std::wstring content;
    std::uint64_t inode = 0;
    bool operator==(const ScannedObject&) const = default;
  };
  void scanStarted(const std::wstring& name);
  void sawObject(ScannedObject object);
  std::vector<ScannedObject> scannedObjects();
  void scanEnded();
  // Waits until this many scans are running at once.
  bool waitInFlight(std::size_t count);
  // Waits until this many scans are blocked at once.
  bool waitBlocked(std::size_t count);
  void blockStarted();
  void blockEnded();
  std::vector<std::wstring> scannedNames();
  std::size_t scansOf(const std::wstring& name);

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::map<std::wstring, ObjectBehaviour> objects_;
  ObjectBehaviour default_;
  std::size_t inFlight_ = 0;
  std::size_t blocked_ = 0;
  std::vector<std::wstring> scanned_;
  std::vector<ScannedObject> objects_seen_;
  platform::Event released_{platform::Event::ResetPolicy::Manual,
                            platform::Event::InitialState::NotSignaled};
};

class FakeEngine final : public IVxAVEngine {
 public:
  VxNAResult<VxAVEngineHandle> getHandle() override { return VxAVEngineHandle{1}; }
};

class FakeXMLConfig final : public IVxAVScannerXMLConfig {
 public:
  explicit FakeXMLConfig(std::shared_ptr<ConfigScript> script) : script_(std::move(script)) {}
  VxNAResult<> setConfiguration(const std::wstring& text) override;
  VxNAResult<std::uint32_t> getMaxScanCount() override;
  VxNAResult<> getScanTypes(std::set<std::uint32_t>& types) override;
  VxNAResult<> getCleanTypes(std::set<std::uint32_t>& types) override;
  VxNAResult<> UnwrapScanSources(std::shared_ptr<IVxAVScannerXMLConfig_Callback> callback) override;
  VxNAResult<bool> getCollectHash() override { return false; }

 private:
  std::shared_ptr<ConfigScript> script_;
};

class FakeObjectScanner final : public IVxAVObjectScanner, public IVxAVScannerConfig {
 public:
  explicit FakeObjectScanner(std::shared_ptr<ScanScript> script) : script_(std::move(script)) {}

  VxNAResult<> setEngine(std::shared_ptr<IVxAVEngine> engine) override;
  VxNAResult<> setScanTypes(const std::set<std::uint16_t>& types) override;
  VxNAResult<> setCleanTypes(const std::set<std::uint16_t>& types) override;
  VxNAResult<> initialize() override;
  VxNAResult<> reserved() override;
  VxNAResult<> setCollectHash(bool) override { return VxNASuccess(); }

  VxNAResult<> scanObject(std::shared_ptr<CVxAVScanObject> object) override;
  VxNAResult<> cancel() override;
  VxNAResult<std::shared_ptr<VxScanObjectResultMap>> getResults() override;
  VxNAResult<std::shared_ptr<CVxScanObjectResult>> getResult(const std::string& name) override;

 private:
  std::shared_ptr<ScanScript> script_;
  std::mutex lock_;
  platform::Event cancelEvent_{platform::Event::ResetPolicy::Manual,
                               platform::Event::InitialState::NotSignaled};
  bool cancel_ = false;
  bool initialized_ = false;
  std::shared_ptr<IVxAVEngine> engine_;
  std::set<std::uint16_t> scanTypes_;
  std::set<std::uint16_t> cleanTypes_;
  std::shared_ptr<VxScanObjectResultMap> results_ = std::make_shared<VxScanObjectResultMap>();
};

// Lists the records it is given, sorted by name: "name:infected:repaired;...".
class FakeReport final : public IVxAVScanResultXML {
 public:
  VxNAResult<> setResults(const VxScanObjectResultSet& results) override;
  VxNAResult<> getXML(std::wstring& xml, bool complete) override;
  void setObjectsNotQueued(std::uint64_t count) override { notQueued_ = count; }
  void setProcessesNotListed(std::uint32_t count) override { notListed_ = count; }

 private:
  VxScanObjectResultSet results_;
  std::uint64_t notQueued_ = 0;
  std::uint32_t notListed_ = 0;
};

class FakeVersionInfo final : public IVxAVScannerVersionInfo {
 public:
  VxNAResult<> getComponentVersion(std::wstring& version) override;
  VxNAResult<> getEngineVersion(std::wstring& version) override;
  VxNAResult<> getDataSetVersion(std::wstring& version) override;
};

// A client that records what it hears.
class RecordingCallback final : public IVxAVScanner_Callback {
 public:
  struct Progress {
    std::wstring name;
    std::uint32_t status;
    std::uint32_t percent;
  };
  struct Terminal {
    bool error;  // onError when true, else onComplete
    std::uint32_t code;
    bool operator==(const Terminal&) const = default;
  };

  void progress(const std::wstring& name, std::uint32_t status, std::uint32_t percent) override;
  void onError(std::uint32_t error) override;
  void onComplete(std::uint32_t result) override;

  // The progress call for this name waits for releaseProgress before it is recorded.
  void holdProgressOf(const std::wstring& name);
  bool waitProgressHeld() { return progressHeld_.waitFor(kDeadline); }
  void releaseProgress() { progressReleased_.set(); }
  // Every progress call fails as a client out of memory would.
  std::atomic<bool> progressOutOfMemory{false};

  // Waits until `count` terminal calls (onError/onComplete) arrived.
  bool waitTerminals(std::size_t count);
  // Waits until `count` progress calls arrived.
  bool waitProgress(std::size_t count);
  std::vector<Progress> progressCalls();
  std::vector<Terminal> terminals();
  // Progress calls that arrived after the n-th terminal call (n from 0).
  std::size_t progressAfterTerminal(std::size_t n);
  void clear();

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<Progress> progress_;
  std::vector<Terminal> terminals_;
  std::vector<std::size_t> progressCountAtTerminal_;
  std::wstring heldName_;
  platform::Event progressHeld_{platform::Event::ResetPolicy::Manual,
                                platform::Event::InitialState::NotSignaled};
  platform::Event progressReleased_{platform::Event::ResetPolicy::Manual,
                                    platform::Event::InitialState::NotSignaled};
};

// Where the doubles run out of memory (throw std::bad_alloc).
enum class OutOfMemoryAt { Nowhere, Engine, ObjectScanner, Report, VersionInfo };

// Factories bound to the scripts of one test; counts what they created.
struct KernelDoubles {
  std::shared_ptr<ConfigScript> config = std::make_shared<ConfigScript>();
  std::shared_ptr<ScanScript> scan = std::make_shared<ScanScript>();
  std::uint32_t engineError = 0;
  std::uint32_t versionError = 0;
  std::shared_ptr<std::atomic<int>> versionObjectsCreated = std::make_shared<std::atomic<int>>(0);
  // Set before the kernel uses the factories.
  OutOfMemoryAt outOfMemoryAt = OutOfMemoryAt::Nowhere;

  CVxAVScannerKernelFactories factories();
};

}  // namespace vxtest
