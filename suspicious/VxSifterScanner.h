#pragma once
// CVxSifterScanner: runs the collector tool "Sifter.exe" for the suspicious-scan
// object. One worker thread ("VxSifterScannerThread") waits for a terminate,
// scan or upload request, runs the tool synchronously through a signature-tested
// CVxExeTask, and reports the outcome (the tool's exit code, or a Windows error
// code when it could not run) to one completion callback.
//
// The tool writes into a session folder "siftertmp<N>" that lives inside a
// private parent folder of this runner (made with an unpredictable name under
// the temporary folder, owner-only, ownership checked); nothing is created or
// deleted through a symbolic link.
//
// Locks and waiting:
// - The run lock is held by a scan or an upload for the tool's whole run, and by
//   ReadFileScanReport, setToolPath and the session bookkeeping, so a report is
//   never read half-written.
// - The completion callback has a lock of its own that no tool run holds.
//   startScan, startUpload and clearCallback take only that one, so they never
//   wait for a run, and a completion is delivered with no run lock held: a caller
//   that waits in one of them can never be the thread a delivery is waiting for.
//   A delivery in progress holds the callback lock (recursively, so a callback
//   may call back in); once clearCallback has returned nothing more is reported.
// - A request made while a run of the same kind is in progress is absorbed by it
//   (one run, one completion); a request made during the delivery of an outcome
//   starts a new run.
//
// Lifetime: the runner is shared. The worker holds a reference of its own until
// it returns, so an owner may release the runner at any time, even during a run
// that never ends: TerminateMyThread never waits (it deletes the session folder
// and the private folder, tells the worker to end and drops the callback), and
// the last of owner and worker to let go destroys the runner. Nothing on disk
// waits for that destruction: a host that exits right after TerminateMyThread,
// before the worker has woken, leaves no folder behind. A run still in progress
// then has its session folder deleted under it, and what the tool writes
// afterwards has nowhere to go.
//
// Thread-safety: every public member may be called from any thread.
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/VxFileUtil.h"
#include "kernel/VxNAThread.h"
#include "suspicious/VxSuspiciousScanLib.h"

class CVxSifterScanner : public CVxNAThread, public std::enable_shared_from_this<CVxSifterScanner> {
 public:
  // The largest report ReadFileScanReport reads; a larger one gives 223.
  static constexpr std::uint32_t kMaxReportSize = 64u << 20;

  // Null only when memory runs out.
  static std::shared_ptr<CVxSifterScanner> create();
  ~CVxSifterScanner() override;

  // Starts the worker; 0, or the system error when the thread cannot start.
  std::uint32_t startWorker();

  void ThreadProc() override;
  void TerminateMyThread() override;

  virtual std::uint32_t scan();
  virtual std::uint32_t upload();
  virtual std::uint32_t prepareSifter();
  virtual std::wstring getSessionFolder();
  virtual std::wstring getReportPath();
  virtual std::wstring getPreferencesPath();
  virtual std::wstring getUploadZipPath();
  virtual std::uint32_t deleteDir(const std::wstring& folder);

  // 87 unless path is non-empty and contains ".exe"; the previous path stays.
  std::uint32_t setToolPath(const std::wstring& path);
  // Replace the completion callback and request a run; 0 at once.
  std::uint32_t startScan(IVxSuspiciousCallback* callback);
  std::uint32_t startUpload(IVxSuspiciousCallback* callback);
  std::uint32_t clearCallback();
  // The report of the last scan, zero-terminated; 0, 2 when there is none.
  std::uint32_t ReadFileScanReport(CVxFileUtil::Buffer& buffer);
  // The tool's file version "a.b.c.d"; 0, 87 without a tool path, 1359 when
  // the version cannot be read.
  std::uint32_t GetVersion(std::wstring& version);
  std::uint32_t CleanSession();

 protected:
  CVxSifterScanner();

 private:
  struct State;

  // Hands an outcome to the completion callback, if any, under the callback lock.
  void deliver(HRESULT (STDMETHODCALLTYPE IVxSuspiciousCallback::*completed)(ULONG),
               std::uint32_t code);
  void replaceCallback(IVxSuspiciousCallback* callback);
  std::wstring toolPath();
  // The deleting half of CleanSession, which takes no run lock.
  void deleteSessionFolder();

  std::unique_ptr<State> state_;
};
