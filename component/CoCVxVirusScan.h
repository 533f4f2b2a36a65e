#pragma once
// CoCVxVirusScan: the automation object a script scans and cleans with. It keeps the
// configuration text, creates its own scanner kernel on the first Scan or CleanFile,
// forwards each request to it and turns the outcome into the script's status codes.
// The kernel reports back through the object's second face, IVxVirusScan_Callback,
// which forwards each event to the script object registered with Register.
//
// Create it as platform::automation::ComObject<CoCVxVirusScan>.
//
// Thread-safety: every method may be called from any thread at once, the kernel's
// threads included. The object lock guards the state; kernel and script calls are
// made with it released (the state is copied first), so a script may call the
// object from its callbacks. Initialisation is serialised as a whole, so concurrent
// first calls start one kernel.
//
// No method throws. Memory running out inside one is its failure: status 8
// (ERROR_NOT_ENOUGH_MEMORY) from the status methods, E_OUTOFMEMORY from
// GetReport, GetVersion and the callback face.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "component/OvrascanLib.h"
#include "component/VxAVCleanSessionHandler.h"
#include "component/VxOvrascanModule.h"
#include "foundation/VxNAResult.h"
#include "kernel/IVxAVScannerKernel.h"
#include "platform/RecursiveMutex.h"
#include "platform/automation/ComPtr.h"
#include "platform/automation/TableDispatch.h"

class CoCVxVirusScan : public platform::automation::TableDispatch<IVxVirusScan>, public IVxVirusScan_Callback {
 public:
  // Makes a new, uninitialised kernel; the product's is CVxAVScannerKernel::GetInstance.
  using KernelSource = std::function<VxNAResult<std::shared_ptr<IVxAVScannerKernel>>()>;

  // Operation types, as the script's Progress and OnComplete receive them.
  enum OperationType : std::uint32_t { kScan = 1, kClean = 2, kScanAndClean = 3 };

  explicit CoCVxVirusScan(KernelSource kernelSource = productKernel(),
                          CVxAVCleanSessionHandler cleanSessions = CVxAVCleanSessionHandler());

  HRESULT FinalConstruct();
  void FinalRelease();
  void* interfaceFor(REFIID riid);

  // IVxVirusScan
  HRESULT STDMETHODCALLTYPE Register(VARIANT vtSinkObject, unsigned int* pdwStatus) override;
  HRESULT STDMETHODCALLTYPE SetConfig(BSTR bstrConfig, unsigned int* pdwStatus) override;
  HRESULT STDMETHODCALLTYPE Scan(unsigned int uiScanType, unsigned int* pdwStatus) override;
  HRESULT STDMETHODCALLTYPE Clean(unsigned int* pdwStatus) override;
  HRESULT STDMETHODCALLTYPE CleanFile(BSTR bstrFileName, unsigned int* pdwStatus) override;
  HRESULT STDMETHODCALLTYPE Cancel(unsigned int* pdwStatus) override;
  HRESULT STDMETHODCALLTYPE GetReport(unsigned int uiReportType, BSTR* pbstrResultXML) override;
  HRESULT STDMETHODCALLTYPE GetVersion(unsigned int uiVersionType, BSTR* pbstrVersion) override;
  HRESULT STDMETHODCALLTYPE Uninitialize(VARIANT_BOOL bClearCallbacks, unsigned int* pdwStatus) override;
  // The clean-session counter (CoCVxVirusScanCleanSessions.cpp); no object state.
  HRESULT STDMETHODCALLTYPE GetCleanSessionCount(unsigned int* pdwCount) override;
  HRESULT STDMETHODCALLTYPE SetCleanSessionCount(unsigned int dwCount, VARIANT_BOOL bPersistAfterUninstall,
                                                 unsigned int* pdwStatus) override;
  HRESULT STDMETHODCALLTYPE IncrementCleanSessionCount(VARIANT_BOOL bPersistAfterUninstall,
                                                       unsigned int* pdwStatus) override;
  HRESULT STDMETHODCALLTYPE GetPersistAfterUninstallState(VARIANT_BOOL* pbPersistAfterUninstall) override;

  // IVxVirusScan_Callback
  HRESULT STDMETHODCALLTYPE Progress(BSTR bstrObjectName, eAVObjectStatus eObjectStatus,
                                     ULONG dwPercentageComplete) override;
  HRESULT STDMETHODCALLTYPE OnError(ULONG dwError) override;
  HRESULT STDMETHODCALLTYPE OnComplete(eAVOperationResult eOperationResult) override;

 protected:
  ~CoCVxVirusScan() = default;

 private:
  static KernelSource productKernel();

  // The kernel when initialised, null otherwise; read under the lock.
  std::shared_ptr<IVxAVScannerKernel> currentKernel();
  VxNAResult<> initializeOnce();
  VxNAResult<> Initialize();
  VxNAResult<std::wstring> getScanConfiguration();
  VxNAResult<> internalUninitialize(bool clearCallbacks);
  void setOperationType(std::uint32_t type);
  // What a kernel event needs of the object: the script's callback object (null,
  // and logged so, when none is registered) and the flags at that moment.
  struct EventContext {
    platform::automation::com_ptr<IDispatch> script;
    std::uint32_t operationType;
    bool cancelled;
  };
  // endsOperation clears the cancelled flag (OnError, OnComplete).
  EventContext beginEvent(const wchar_t* function, bool endsOperation);

  COvrascanModule::LockHolder moduleLock_;
  const KernelSource kernelSource_;
  const CVxAVCleanSessionHandler cleanSessions_;
  std::mutex initialization_;  // taken before lock_, never while holding it

  platform::RecursiveMutex lock_;
  bool initialized_ = false;
  std::wstring configuration_;
  std::shared_ptr<IVxAVScannerKernel> kernel_;
  std::uint32_t operationType_ = kScan;
  bool cancelled_ = false;
};
