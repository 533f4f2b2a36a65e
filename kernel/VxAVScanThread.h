#pragma once
// CVxAVScanThread: one of a kernel's four scan workers. It takes scan objects from
// the kernel's shared queue, has its object scanner scan each with the engine and
// reports the outcome to the kernel: progress with the object's status, onError
// when a scan failed, or onComplete(1) to acknowledge a cancel.
//
// Reports go to a reporter: the kernel hands one with every pass's object scanner
// (a view tagged with the activity the pass belongs to), and a report always goes
// to the reporter of the pass that scanned the object, so a report that comes late
// can never count toward a later activity. Without a reporter of its own a pass
// reports to the callback given to Init.
//
// Cancel handshake: every cancelScan() is acknowledged exactly once, to the
// reporter it names. A worker that is scanning for that reporter is marked
// cancelled under its lock and its scan aborted; the worker itself consumes the
// mark (under the same lock, when the scan returns) and sends the
// acknowledgement. A worker that is idle, or busy with an earlier activity's
// object, is acknowledged at once by the caller. An object taken from the queue
// just before a cancel emptied it is dropped unscanned: its pass is over and its
// worker was acknowledged as idle.
//
// Out of memory inside the worker ends the object with error 8 to its reporter;
// nothing is thrown out of the thread body or the public calls.
//
// Thread-safety: the lock guards the fields only; the engine scan and every
// callback run without it. cancelScan, uninit and TerminateMyThread run on other
// threads and reach a running scan only through the scanner's thread-safe cancel.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "engine/IVxAVObjectScanner.h"
#include "foundation/VxNAResult.h"
#include "kernel/IVxAVScanner_Callback.h"
#include "foundation/VxAVScanObject.h"
#include "kernel/VxNASharedEventQueue.h"
#include "kernel/VxNAThread.h"

class CVxAVScanThread : public CVxNAThread, public std::enable_shared_from_this<CVxAVScanThread> {
 public:
  CVxAVScanThread();
  ~CVxAVScanThread() override;

  void ThreadProc() override;
  void TerminateMyThread() override;

  // Stores the queue and the kernel's callback and starts the worker.
  VxNAResult<> Init(std::shared_ptr<VxNASharedEventQueue> queue,
                    std::shared_ptr<IVxAVScanner_Callback> callback);
  // The scanner of the next pass and the reporter its objects report to (null:
  // the callback given to Init).
  VxNAResult<> setObjectScanner(std::shared_ptr<IVxAVObjectScanner> scanner,
                                std::shared_ptr<IVxAVScanner_Callback> reporter = nullptr);
  VxNAResult<std::shared_ptr<IVxAVObjectScanner>> getObjectScanner();
  // Aborts a running scan, stops the worker (10 s at most), drops its references.
  VxNAResult<> uninit();
  // Cancels the scan done for reporter (null: the current pass's reporter); the
  // acknowledgement, onComplete(1), goes to that reporter.
  VxNAResult<> cancelScan(std::shared_ptr<IVxAVScanner_Callback> reporter = nullptr);

 private:
  // What the worker does with an object it took from the queue.
  void serve(const std::shared_ptr<CVxAVScanObject>& object, std::uint64_t generation,
             const std::shared_ptr<VxNASharedEventQueue>& queue);
  void scanWith(const std::shared_ptr<CVxAVScanObject>& object,
                const std::shared_ptr<IVxAVObjectScanner>& scanner,
                const std::shared_ptr<IVxAVScanner_Callback>& reporter);
  void progress(const std::shared_ptr<CVxAVScanObject>& object, bool cancelled,
                const std::shared_ptr<IVxAVObjectScanner>& scanner,
                const std::shared_ptr<IVxAVScanner_Callback>& reporter);
  void reportError(std::uint32_t error, const std::shared_ptr<IVxAVScanner_Callback>& reporter);
  // The reporter of the current pass; the lock is held.
  std::shared_ptr<IVxAVScanner_Callback> passReporter() const;

  std::mutex lock_;
  std::shared_ptr<VxNASharedEventQueue> spQueue_;
  std::shared_ptr<IVxAVScanner_Callback> kernelCallback_;
  std::shared_ptr<IVxAVObjectScanner> m_spAVObjectScanner_;
  std::shared_ptr<IVxAVScanner_Callback> reporter_;
  std::shared_ptr<CVxAVScanObject> currentObject_;
  // The scanner and the reporter of the scan in progress.
  std::shared_ptr<IVxAVObjectScanner> currentScanner_;
  std::shared_ptr<IVxAVScanner_Callback> currentReporter_;
  bool scanning_ = false;
  bool cancelled_ = false;
  bool terminating_ = false;
};
