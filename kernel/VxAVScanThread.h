#pragma once
// CVxAVScanThread: one of a kernel's four scan workers. It takes scan objects from
// the kernel's shared queue, has its object scanner scan each with the engine and
// reports the outcome to the kernel: progress with the object's status, onError
// when a scan failed, or onComplete(1) to acknowledge a cancel.
//
// Cancel handshake: every cancelScan() is acknowledged exactly once. A worker that
// is scanning is marked cancelled under its lock and its scan aborted; the worker
// itself consumes the mark (under the same lock, when the scan returns) and sends
// the acknowledgement. An idle worker is acknowledged at once by the caller. An
// object taken from the queue just before a cancel emptied it is dropped unscanned:
// its pass is over and its worker was acknowledged as idle.
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
#include "kernel/VxAVScanObject.h"
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
  VxNAResult<> setObjectScanner(std::shared_ptr<IVxAVObjectScanner> scanner);
  VxNAResult<std::shared_ptr<IVxAVObjectScanner>> getObjectScanner();
  // Aborts a running scan, stops the worker (10 s at most), drops its references.
  VxNAResult<> uninit();
  VxNAResult<> cancelScan();

 private:
  // What the worker does with an object it took from the queue.
  void serve(const std::shared_ptr<CVxAVScanObject>& object, std::uint64_t generation,
             const std::shared_ptr<VxNASharedEventQueue>& queue);
  void progress(const std::shared_ptr<CVxAVScanObject>& object, bool cancelled);
  void reportError(std::uint32_t error);

  std::mutex lock_;
  std::shared_ptr<VxNASharedEventQueue> spQueue_;
  std::shared_ptr<IVxAVScanner_Callback> kernelCallback_;
  std::shared_ptr<IVxAVObjectScanner> m_spAVObjectScanner_;
  std::shared_ptr<CVxAVScanObject> currentObject_;
  bool scanning_ = false;
  bool cancelled_ = false;
  bool terminating_ = false;
};
