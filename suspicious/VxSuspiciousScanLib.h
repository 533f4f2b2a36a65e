#pragma once
// The suspicious-scan class of the type library (component/Ovrascan.idl), as MIDL
// would generate it: identities, the dual script interface IVxSuspiciousScan and
// IVxSuspiciousCallback, through which the collector runner reports its outcomes.
// Vtable slots follow the IDL order.
#include "platform/automation/Automation.h"

inline constexpr CLSID CLSID_VxSuspiciousScan{
    0x7822F49B, 0x3B6E, 0x4646, {0x86, 0xA9, 0x20, 0x4D, 0x74, 0x88, 0xA1, 0xFD}};
inline constexpr IID IID_IVxSuspiciousScan{
    0x0B24B44C, 0x1F07, 0x4C52, {0xA5, 0x64, 0xA4, 0xD7, 0xFF, 0xE8, 0x15, 0x0F}};
inline constexpr IID IID_IVxSuspiciousCallback{
    0x23997230, 0x0638, 0x4B1B, {0xB1, 0xDE, 0xDD, 0x2E, 0x51, 0x8B, 0x4B, 0x04}};

// The script's entry points, DISPIDs 1..9 in slot order after IDispatch. Every
// method answers S_OK and puts its status into the result VARIANT.
class IVxSuspiciousScan : public IDispatch {
 public:
  virtual HRESULT STDMETHODCALLTYPE RegisterCallback(VARIANT vtCallback, VARIANT* vtRetVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnRegisterCallback(VARIANT* vtRetVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE Scan(VARIANT* vtRetVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE Abort(VARIANT* vtRetVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetReport(VARIANT* vtRetVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE UploadReport(VARIANT* vtRetVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE Configure(VARIANT vtToolPath, VARIANT* vtRetVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetVersion(VARIANT* vtRetVal) = 0;
  virtual HRESULT STDMETHODCALLTYPE CleanSession(VARIANT* vtRetVal) = 0;

 protected:
  ~IVxSuspiciousScan() = default;
};

// How the collector runner reports a finished scan or upload (not dispatchable).
// dwError is the tool's exit code when it ran, else a Windows error code.
class IVxSuspiciousCallback : public IUnknown {
 public:
  virtual HRESULT STDMETHODCALLTYPE ScanCompleted(ULONG dwError) = 0;
  virtual HRESULT STDMETHODCALLTYPE UploadCompleted(ULONG dwError) = 0;

 protected:
  ~IVxSuspiciousCallback() = default;
};
