#pragma once
// CVxAVObjectScanner: turns one scan object at a time into one AVScanObject call on
// the shared engine, and what the engine reports through the scan callback into
// result records (CVxScanObjectResult), one per object name the engine reports,
// kept in a map by that name for the whole life of the scanner.
//
// Life: create() -> setEngine/setScanTypes/setCleanTypes/setCollectHash ->
// initialize() (once; reads "context_ids" from AVScanner.ini and builds the
// parameter list reused for every object) -> scanObject() any number of times ->
// cancel() (final: every later scanObject fails with 0x42032B16).
//
// Records are keyed by CVxAVScanObject::getResultKey(), the key the scan threads
// look them up with. Records handed out by getResult()/getResults() are shared with
// the scanner; getResults() hands out a snapshot of the map, so that a caller may
// walk it while the scanner keeps storing records.
//
// A record says IsScanned only when the engine went through the object's
// content: the scan was allowed (a scanner without scan types declines it), not
// cut short by a cancel and not ended by a scan error. A detection, once made,
// keeps its record scanned. Hashes are recorded whenever the engine sends them,
// asked for or not; a hash record without usable digits leaves the record
// without hash type too.
//
// The engine is untrusted input: the callback never reads a null pointer the engine
// hands over, reads engine texts only up to kLongestEngineText bytes and hash bytes
// only up to kLongestHash bytes.
//
// Thread-safety: one lock serialises configuration, the bookkeeping of scanObject,
// every callback message, cancel, getResult and getResults; AVScanObject itself
// runs without it, so cancel() from any thread takes effect at the engine's next
// query message. scanObject must not run on two threads at once for one scanner
// (each scan thread owns its scanner): the descriptor and the current record belong
// to the one scan in progress.
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "documents/VxScanObjectResult.h"
#include "engine/IVxAVEngine.h"
#include "engine/IVxAVObjectScanner.h"
#include "engine/IVxAVScannerConfig.h"
#include "engine/VxAVEngineABI.h"
#include "engine/VxAVEngineLibrary.h"
#include "foundation/VxNAResult.h"
#include "platform/RecursiveMutex.h"

#include "foundation/VxAVScanObject.h"

class CVxAVObjectScanner final : public IVxAVScannerConfig, public IVxAVObjectScanner {
  struct ConstructionKey {};

 public:
  static constexpr std::size_t kMaxParameters = 20;
  // Longest object or detection name read from the engine, without its NUL.
  static constexpr std::size_t kLongestEngineText = 65536;
  // Longest hash read from the engine, in bytes (a SHA-512 digest).
  static constexpr std::uint32_t kLongestHash = 64;

  // Null only when memory runs out. The settings file is the one beside the host
  // executable.
  static std::shared_ptr<CVxAVObjectScanner> create();
  // The same with the settings file of hostFolder (hosts that keep it elsewhere,
  // tests); an empty folder counts as an unknown host folder.
  static std::shared_ptr<CVxAVObjectScanner> create(const std::string& hostFolder);

  CVxAVObjectScanner(ConstructionKey, std::optional<std::string> hostFolder);
  ~CVxAVObjectScanner() override = default;
  CVxAVObjectScanner(const CVxAVObjectScanner&) = delete;
  CVxAVObjectScanner& operator=(const CVxAVObjectScanner&) = delete;

  // IVxAVScannerConfig
  VxNAResult<> setEngine(std::shared_ptr<IVxAVEngine> engine) override;
  VxNAResult<> setScanTypes(const std::set<std::uint16_t>& types) override;
  VxNAResult<> setCleanTypes(const std::set<std::uint16_t>& types) override;
  VxNAResult<> initialize() override;
  VxNAResult<> reserved() override;
  VxNAResult<> setCollectHash(bool collect) override;

  // IVxAVObjectScanner
  VxNAResult<> scanObject(std::shared_ptr<CVxAVScanObject> object) override;
  VxNAResult<> cancel() override;
  VxNAResult<std::shared_ptr<VxScanObjectResultMap>> getResults() override;
  VxNAResult<std::shared_ptr<CVxScanObjectResult>> getResult(const std::string& name) override;

  // The scan callback given to the engine as parameter 100; the context (parameter
  // 101) is the scanner. Answers AV_CALLBACK_CONTINUE or AV_CALLBACK_DECLINE.
  static std::uint32_t Callback(const AV_CALLBACKCONTEXT* context, std::uint16_t message,
                                std::uint64_t argument1, std::uintptr_t argument2);

 private:
  using Record = std::shared_ptr<CVxScanObjectResult>;

  static std::shared_ptr<CVxAVObjectScanner> make(std::optional<std::string> hostFolder);

  VxNAResult<std::set<std::uint32_t>> getContextIDs() const;
  void buildDefaultParameterList();
  void appendParameter(std::uint16_t code, std::uint32_t length, std::uint64_t value);
  // Points the descriptor at the object; fails with 0x42032B15 for an unknown type.
  VxNAResult<> describeObject(const CVxAVScanObject& object);
  VxNAResult<> callEngine();
  // The engine's scan function; the library stays loaded while the scanner lives.
  VxNAResult<AV_SCANOBJECT_FN> scanEntryPoint();

  // Message handling; the lock is held.
  std::uint32_t onMessage(std::uint16_t message, std::uint64_t argument1,
                          std::uintptr_t argument2);
  std::uint32_t onQueryScan();
  std::uint32_t onQueryRepair();
  // The engine did not get through the current object's content.
  void markNotScanned();
  void onObjectName(std::uintptr_t argument2);
  void onDetection(std::uintptr_t argument2);
  void onRepairError(std::uint16_t code);
  void onAction(std::uintptr_t argument2);
  void onObjectDone();
  void onFileHash(std::uintptr_t argument2);
  void onObjectReplaced();
  // Adds the current object's identity to the parameter list when it has one.
  void describeIdentity();
  void storeRecord(const Record& record);
  Record newRecord(const std::string& name);

  mutable platform::RecursiveMutex lock_;
  std::weak_ptr<CVxAVObjectScanner> self_;
  const std::optional<std::string> hostFolder_;
  std::shared_ptr<IVxAVEngine> engine_;
  std::optional<VxAVEngineEntryPoints> entryPoints_;
  std::set<std::uint16_t> scanTypes_;
  std::set<std::uint16_t> cleanTypes_;
  bool initialized_ = false;
  bool cancelled_ = false;
  bool collectHash_ = false;
  std::shared_ptr<CVxAVScanObject> currentObject_;
  Record currentRecord_;
  std::shared_ptr<VxScanObjectResultMap> results_;

  // What the parameter list points to; it lives as long as the scanner.
  AV_PARAMETERS parameterBlock_{};
  std::array<AV_SINGLEPARAMETER, kMaxParameters> parameters_{};
  AV_OBJECTDESCRIPTOR descriptor_{};
  AV_CONTEXTIDS contextIdBlock_{};
  std::vector<std::uint32_t> contextIds_;
  std::string currentPath_;     // the record's name, the object's result key
  std::string currentContent_;  // what the engine opens
  // Where the current record is kept: the object's key, also when the report
  // names it otherwise (a replaced module).
  std::string currentKey_;
  VxScanObjectIdentity currentIdentity_;
  AV_OBJECTIDENTITY identity_{};
  std::uint16_t fixedParameterCount_ = 0;
};
