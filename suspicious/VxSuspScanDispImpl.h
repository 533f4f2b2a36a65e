#pragma once
// CVxSuspScanDispImpl: the suspicious-scan object (class VxSuspiciousScan). A
// script registers a script object, starts a collection of suspicious files by
// the collector tool, reads the tool's report, uploads the archive and cleans up.
// Every method answers S_OK at once and puts its status into the result VARIANT
// (VT_I4 codes, VT_BSTR texts); collections and uploads run on the collector
// runner's worker thread and end with the script's "OnScanComplete" or
// "OnUploadComplete". The runner reports to the object's second face,
// IVxSuspiciousCallback.
//
// Create it as platform::automation::ComObject<CVxSuspScanDispImpl>.
//
// A null result pointer is refused with E_POINTER and nothing is done: there is
// nowhere to put the status.
//
// Lifetime: Scan and UploadReport hand the runner a counted reference of the
// object, which the runner keeps until Abort or the next request replaces it, so
// a collection started by a script that then lets go of the object still
// reports. The last release tells the runner to end and deletes its folders
// before it returns; a tool run still in progress finishes on its own and the
// runner outlives the object until then.
//
// Thread-safety: every method may be called from any thread. The lock guards
// only the script callback; the script is called with it released (the callback
// is copied first), so a script function may call the object, register another
// script object, or Abort, without waiting for itself. Abort, Scan and
// UploadReport never wait for a tool run (see CVxSifterScanner).
#include <functional>
#include <memory>
#include <mutex>

#include "platform/automation/TableDispatch.h"
#include "suspicious/VxSuspScanDispCallBack.h"
#include "suspicious/VxSuspiciousScanLib.h"

class CVxSifterScanner;

class CVxSuspScanDispImpl : public platform::automation::TableDispatch<IVxSuspiciousScan>,
                            public IVxSuspiciousCallback {
 public:
  // Makes the collector runner, its worker not yet started; null when it cannot.
  using RunnerSource = std::function<std::shared_ptr<CVxSifterScanner>()>;

  explicit CVxSuspScanDispImpl(RunnerSource runnerSource = productRunner());

  HRESULT FinalConstruct();
  void FinalRelease();
  void* interfaceFor(REFIID riid);

  // IVxSuspiciousScan
  HRESULT STDMETHODCALLTYPE RegisterCallback(VARIANT vtCallback, VARIANT* vtRetVal) override;
  HRESULT STDMETHODCALLTYPE UnRegisterCallback(VARIANT* vtRetVal) override;
  HRESULT STDMETHODCALLTYPE Scan(VARIANT* vtRetVal) override;
  HRESULT STDMETHODCALLTYPE Abort(VARIANT* vtRetVal) override;
  HRESULT STDMETHODCALLTYPE GetReport(VARIANT* vtRetVal) override;
  HRESULT STDMETHODCALLTYPE UploadReport(VARIANT* vtRetVal) override;
  HRESULT STDMETHODCALLTYPE Configure(VARIANT vtToolPath, VARIANT* vtRetVal) override;
  HRESULT STDMETHODCALLTYPE GetVersion(VARIANT* vtRetVal) override;
  HRESULT STDMETHODCALLTYPE CleanSession(VARIANT* vtRetVal) override;

  // IVxSuspiciousCallback
  HRESULT STDMETHODCALLTYPE ScanCompleted(ULONG dwError) override;
  HRESULT STDMETHODCALLTYPE UploadCompleted(ULONG dwError) override;

 protected:
  ~CVxSuspScanDispImpl();

 private:
  static RunnerSource productRunner();
  std::shared_ptr<CVxSuspScanDispCallBack> scriptCallback();
  // Hands a run's outcome to the script callback registered now, if any, after
  // logging `text` followed by the outcome.
  void deliverOutcome(const wchar_t* function, const wchar_t* text, ULONG outcome,
                      HRESULT (CVxSuspScanDispCallBack::*deliver)(VARIANT*));

  RunnerSource runnerSource_;
  std::shared_ptr<CVxSuspScanDispCallBack> scriptCallback_;  // guarded by lock_
  std::shared_ptr<CVxSifterScanner> runner_;                 // set once, in FinalConstruct
  std::mutex lock_;
};
