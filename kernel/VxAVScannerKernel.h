#pragma once
// CVxAVScannerKernel: the engine room behind a virus-scan object.
//
// One kernel owns, while initialised, the started engine, the configuration
// reader, the shared queue of scan objects, four scan threads and its own kernel
// thread. Requests arrive on the caller's thread, are checked against the activity
// state (Idle, InProgress, Cancelling), move it, and post their work to the kernel
// thread, which runs the passes of an operation:
//
//   Scan:        profile pass (expand the sources, record every object's size)
//                -> scan pass (scan again with the scan types, report progress)
//   Clean:       one pass over what the last pass found infected
//   CleanObject: one pass over one file
//
// Scan threads report every object through progress(); when a pass has queued all
// its objects and all are done, checkForCompletion() starts the next pass or posts
// the completion. Results go to the client's callback: progress on a scan thread,
// onError/onComplete on the kernel thread, never with the kernel lock held.
//
// Thread-safety: every public member may be called from any thread. kernelMutex_
// (recursive) guards all state except the inbox, which has its own locks;
// lifecycleMutex_ serialises Init and DeInit.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "documents/IVxAVScannerXMLConfig.h"
#include "kernel/IVxAVScannerKernel.h"
#include "kernel/VxAVScanThread.h"
#include "kernel/VxAVScannerKernelEvent.h"
#include "kernel/VxAVScannerKernelFactories.h"
#include "kernel/VxNAEventQueue.h"
#include "kernel/VxNAThread.h"
#include "platform/RecursiveMutex.h"

inline constexpr std::size_t SCAN_THREAD_COUNT = 4;

class CVxAVScannerKernel : public CVxNAThread,
                           public IVxAVScannerKernel,
                           public IVxAVScanner_Callback,
                           public IVxAVScannerXMLConfig_Callback,
                           public std::enable_shared_from_this<CVxAVScannerKernel> {
 public:
  enum ActivityState : std::uint32_t { Idle = 0, InProgress = 1, Cancelling = 2 };

  // A new, uninitialised kernel on every call.
  static VxNAResult<std::shared_ptr<IVxAVScannerKernel>> GetInstance();
  static VxNAResult<std::shared_ptr<IVxAVScannerKernel>> GetInstance(
      CVxAVScannerKernelFactories factories);

  explicit CVxAVScannerKernel(CVxAVScannerKernelFactories factories);
  ~CVxAVScannerKernel() override;

  // IVxAVScannerKernel
  VxNAResult<> Init(std::shared_ptr<IVxAVScanner_Callback> callback,
                    const std::wstring& configuration) override;
  VxNAResult<> DeInit(bool wait) override;
  VxNAResult<> Scan(bool clean) override;
  VxNAResult<> Clean() override;
  VxNAResult<> CleanObject(const std::wstring& path) override;
  VxNAResult<> Cancel() override;
  VxNAResult<std::wstring> GetReport(bool complete) override;
  VxNAResult<> GetVersion(std::uint32_t type, std::wstring& version) override;

  // IVxAVScanner_Callback: the view the scan threads report to.
  void progress(const std::wstring& objectName, std::uint32_t objectStatus,
                std::uint32_t percent) override;
  void onError(std::uint32_t error) override;
  void onComplete(std::uint32_t result) override;

  // IVxAVScannerXMLConfig_Callback: admits one object into the current pass.
  bool OnScanSource(std::shared_ptr<CVxAVScanObject> object) override;

  // CVxNAThread
  void ThreadProc() override;
  void TerminateMyThread() override;

 private:
  enum class PassTypes { None, Scan, ScanAndClean };

  // Life cycle.
  VxNAResult<> initializeKernel();
  VxNAResult<std::shared_ptr<IVxAVScannerXMLConfig>> loadConfiguration();
  VxNAResult<std::shared_ptr<CVxAVScanThread>> createScanThread(
      std::shared_ptr<VxNASharedEventQueue> queue, std::shared_ptr<IVxAVScanner_Callback> callback);
  VxNAResult<> deInitializeKernel();
  static void stopScanThreads(const std::vector<std::shared_ptr<CVxAVScanThread>>& threads);

  // Requests that start an activity share one gate.
  VxNAResult<> startActivity(const wchar_t* function, const wchar_t* notInitialized,
                             const wchar_t* busy, const wchar_t* entering,
                             std::shared_ptr<CVxAVScannerKernelEvent> event);
  void post(std::shared_ptr<CVxAVScannerKernelEvent> event);

  // Kernel thread.
  void dispatch(const CVxAVScannerKernelEvent& event);
  void handleError(std::uint32_t error, std::uint64_t activity);
  void handleComplete(std::uint32_t result);
  void finishActivity(std::uint32_t result);
  void checkForCompletion();

  // Passes.
  VxNAResult<> doProfileScan(bool cleanAfterwards);
  VxNAResult<> doScanOnly();
  VxNAResult<> doScanAndClean();
  VxNAResult<> scanPass(bool clean, bool logged);
  VxNAResult<> doClean();
  VxNAResult<> doCleanObject(const std::wstring& path);
  VxNAResult<> cancelActivity();
  VxNAResult<> getResults(bool reset);
  VxNAResult<> prepareObjectScanners(PassTypes types);
  VxNAResult<std::shared_ptr<IVxAVObjectScanner>> createObjectScanner(PassTypes types);
  // Admits the named objects one by one until the expansion is told to stop.
  VxNAResult<> queueNamedObjects(const std::vector<std::wstring>& names);
  void resetPassCounters();

  // Views of this kernel that share its ownership.
  std::shared_ptr<IVxAVScanner_Callback> callbackView();
  std::shared_ptr<IVxAVScannerXMLConfig_Callback> sourceView();

  const CVxAVScannerKernelFactories factories_;

  std::mutex lifecycleMutex_;
  // Serialises the client's progress calls so that percentages reach it in order.
  std::mutex progressOrderMutex_;

  platform::RecursiveMutex kernelMutex_;
  VxNAEventQueue inbox_;
  std::shared_ptr<IVxAVScanner_Callback> spCallback_;
  std::wstring configXml_;
  std::shared_ptr<IVxAVScannerVersionInfo> versionInfo_;
  std::shared_ptr<IVxAVEngine> engine_;
  std::shared_ptr<IVxAVScannerXMLConfig> config_;
  std::shared_ptr<VxNASharedEventQueue> scanQueue_;
  std::vector<std::shared_ptr<CVxAVScanThread>> scanThreads_;
  bool initialized_ = false;
  ActivityState activityState_ = Idle;
  // Counts accepted activities, so that an error reported for one that already
  // ended cannot end the next.
  std::uint64_t activitySerial_ = 0;
  bool profileMode_ = false;
  bool cleanAfterProfile_ = false;
  bool allQueued_ = true;
  std::uint32_t queuedCount_ = 0;
  std::uint32_t doneCount_ = 0;
  // Sizes are summed in 64 bits: the modules of a machine can pass 4 GiB.
  std::uint64_t totalSize_ = 0;
  std::uint64_t doneSize_ = 0;
  std::uint32_t cancelAcks_ = 0;
  std::map<std::wstring, std::shared_ptr<CVxScanObjectResult>> mergedResults_;
  bool resetResultsOnCollect_ = true;
  std::set<std::wstring> queuedNames_;
};
