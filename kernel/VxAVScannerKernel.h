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
// Activities are numbered. Every event, progress report, acknowledgement and
// error carries the number of the activity it belongs to (the scan threads report
// through a view of the kernel made for that activity), and whatever arrives for
// an activity that is no longer the running one is dropped: a late report can
// never count toward the next activity. Every activity starts from a clean pass
// state. Every progress of an activity reaches the client before its onComplete
// or onError.
//
// Exactly one kernel thread serves an initialised kernel. DeInit asks the thread
// to stop; an Init that finds the previous thread still serving (DeInit without
// waiting, a DeInit from one of its own callbacks, a DeInit that gave up waiting)
// withdraws that request and hands the new life to it; otherwise it reaps the
// ending thread and starts a fresh one.
//
// Out of memory is reported, never thrown: a public call fails with 8, an
// activity ends with onError(8); the log says where it happened.
//
// Thread-safety: every public member may be called from any thread. kernelMutex_
// (recursive) guards all state except the inbox, which has its own locks, and the
// kernel-thread bookkeeping, which threadLock_ guards; lifecycleMutex_ serialises
// Init and DeInit. Lock order: lifecycleMutex_, progressOrderMutex_, kernelMutex_;
// threadLock_ is taken alone.
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
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
  void OnUnlistedSource() override;

  // CVxNAThread
  void ThreadProc() override;
  void TerminateMyThread() override;

  // Kernel threads serving this kernel right now: 1 while initialised, 0 once a
  // stopped thread has left; never more.
  std::size_t servingThreadCount() const;

 private:
  friend class CVxAVScannerKernelActivityView;

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
  std::uint32_t startKernelThread();
  void stopKernelThread(bool wait);
  void waitUntilNoThreadServes();
  // False when the stop is withdrawn and the thread serves on.
  bool leaveOnStop();
  void dispatchGuarded(const CVxAVScannerKernelEvent& event);
  void dispatch(const CVxAVScannerKernelEvent& event);
  bool isCurrent(std::uint64_t activity);
  void handleError(std::uint32_t error, std::uint64_t activity);
  void handleComplete(std::uint32_t result, std::uint64_t activity);
  void finishActivity(std::uint32_t result);
  void checkForCompletion();
  void postNextPass(bool clean, std::uint64_t activity);
  // Waits for progress calls to the client that are still running.
  void drainProgress();

  // Reports of the scan threads, for one activity.
  std::uint64_t currentActivity();
  void reportProgress(std::uint64_t activity, const std::wstring& objectName,
                      std::uint32_t objectStatus);
  // The share of the pass's bytes done once objectName is; kernelMutex_ held.
  std::uint32_t donePercent(const std::wstring& objectName);
  void reportError(std::uint64_t activity, std::uint32_t error);
  void reportComplete(std::uint64_t activity, std::uint32_t result);
  // Logs an allocation failure and ends the activity with error 8.
  void failOutOfMemory(const wchar_t* function, std::uint64_t activity);

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
  bool admit(std::shared_ptr<CVxAVScanObject> object);
  // Queues an admitted object whose name was just remembered in `names`, which
  // forget it again when the queue runs out of memory; kernelMutex_ held.
  template <class Remembered>
  void queueRemembered(std::shared_ptr<CVxAVScanObject> object, Remembered& names,
                       typename Remembered::iterator remembered);
  // Whether the current pass queued an object of that name; kernelMutex_ held.
  bool isQueued(const std::wstring& name) const;
  // Whether the object queued under `name` is that file; kernelMutex_ held.
  bool isAdmittedAs(const std::wstring& name, const VxScanObjectIdentity& identity) const;
  // A name of its own for a file whose name an object of another identity holds
  // already; nothing when the very file is queued already. kernelMutex_ held.
  std::optional<std::wstring> nameOfAnotherFile(const std::wstring& name, const VxScanObjectIdentity& identity) const;
  void resetPassCounters();
  // Everything a pass leaves behind; the lock is held.
  void resetActivityState();

  // Views of this kernel that share its ownership.
  std::shared_ptr<IVxAVScanner_Callback> callbackView();
  std::shared_ptr<IVxAVScannerXMLConfig_Callback> sourceView();

  const CVxAVScannerKernelFactories factories_;

  std::mutex lifecycleMutex_;
  // Serialises the client's progress calls so that percentages reach it in order.
  // Held for one short call at a time, so a waiting scan thread spins for a moment
  // before it sleeps (see RecursiveMutex).
  platform::RecursiveMutex progressOrderMutex_;

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
  // Numbers the activities; see the comment at the top.
  std::uint64_t activitySerial_ = 0;
  // The scan threads' view of the kernel for the running activity.
  std::shared_ptr<IVxAVScanner_Callback> activityView_;
  // The expansion of the current pass ran out of memory.
  std::uint32_t expansionError_ = 0;
  bool profileMode_ = false;
  bool cleanAfterProfile_ = false;
  bool allQueued_ = true;
  std::uint32_t queuedCount_ = 0;
  std::uint32_t doneCount_ = 0;
  // Sizes are summed in 64 bits: the modules of a machine can pass 4 GiB.
  std::uint64_t totalSize_ = 0;
  std::uint64_t doneSize_ = 0;
  std::uint32_t cancelAcks_ = 0;
  // Looked up once per object by the scan threads' progress and the expansion;
  // a report sorts its items itself.
  std::unordered_map<std::wstring, std::shared_ptr<CVxScanObjectResult>> mergedResults_;
  bool resetResultsOnCollect_ = true;
  // The names a pass after the expansion queued (the expansion's own are those of
  // admittedObjects_).
  std::unordered_set<std::wstring> queuedNames_;
  // How the last expansion's objects are read: the content path where it is not
  // the name (process modules reached through the kernel's handles) and the
  // identity of the mapped file. Later passes queue objects by name only, and
  // names are unique per identity within an expansion (admittedName).
  struct AdmittedObject {
    std::wstring contentPath;
    VxScanObjectIdentity identity;
  };
  std::unordered_map<std::wstring, AdmittedObject> admittedObjects_;
  // Objects the last expansion found past the configuration's limit; the report
  // says how many.
  std::uint64_t objectsNotQueued_ = 0;
  // Parts of the last expansion's sources that yielded nothing they should have
  // (processes whose modules could not be listed); the report says how many.
  std::uint32_t sourcesNotListed_ = 0;

  // Kernel-thread bookkeeping (threadLock_).
  mutable std::mutex threadLock_;
  std::condition_variable threadLeft_;
  std::size_t servingThreads_ = 0;
  std::uint32_t servingThreadId_ = 0;
  bool stopRequested_ = false;
};
