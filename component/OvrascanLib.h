#pragma once
// OvrascanLib: the C++ face of the type library in Ovrascan.idl (what MIDL would
// generate from it): identities, the dual interface IVxVirusScan and the callback
// interface IVxVirusScan_Callback. Vtable slots follow the IDL order.
#include <cstdint>

#include "kernel/IVxAVScanner_Callback.h"
#include "platform/automation/Automation.h"

inline constexpr GUID LIBID_OvrascanLib{
    0xF44D766B, 0xF664, 0x439F, {0x99, 0xC4, 0x11, 0x19, 0x0E, 0x3B, 0xEE, 0xC2}};
inline constexpr CLSID CLSID_CoCVxVirusScan{
    0x7E80D70A, 0xFA51, 0x4790, {0xA1, 0xC7, 0x76, 0x7C, 0x6E, 0xA1, 0x4B, 0x89}};
inline constexpr IID IID_IVxVirusScan{
    0xD723D992, 0x1F0F, 0x4ED6, {0x8E, 0x0D, 0x53, 0x08, 0x0E, 0x8E, 0x51, 0x3A}};
inline constexpr IID IID_IVxVirusScan_Callback{
    0xCF0E8FEC, 0xEF47, 0x4E7E, {0x96, 0x9E, 0xBF, 0x24, 0x56, 0x60, 0xD3, 0x14}};

// The script's entry points. DISPIDs 1.. in slot order after IDispatch.
class IVxVirusScan : public IDispatch {
 public:
  virtual HRESULT STDMETHODCALLTYPE Register(VARIANT vtSinkObject, unsigned int* pdwStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetConfig(BSTR bstrConfig, unsigned int* pdwStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE Scan(unsigned int uiScanType, unsigned int* pdwStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clean(unsigned int* pdwStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE CleanFile(BSTR bstrFileName, unsigned int* pdwStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE Cancel(unsigned int* pdwStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetReport(unsigned int uiReportType, BSTR* pbstrResultXML) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetVersion(unsigned int uiVersionType, BSTR* pbstrVersion) = 0;
  virtual HRESULT STDMETHODCALLTYPE Uninitialize(VARIANT_BOOL bClearCallbacks, unsigned int* pdwStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCleanSessionCount(unsigned int* pdwCount) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetCleanSessionCount(unsigned int dwCount, VARIANT_BOOL bPersistAfterUninstall,
                                                         unsigned int* pdwStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE IncrementCleanSessionCount(VARIANT_BOOL bPersistAfterUninstall,
                                                               unsigned int* pdwStatus) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPersistAfterUninstallState(VARIANT_BOOL* pbPersistAfterUninstall) = 0;

 protected:
  ~IVxVirusScan() = default;
};

// How the scanner kernel's events reach the object (not dispatchable).
class IVxVirusScan_Callback : public IUnknown {
 public:
  virtual HRESULT STDMETHODCALLTYPE Progress(BSTR bstrObjectName, eAVObjectStatus eObjectStatus,
                                             ULONG dwPercentageComplete) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnError(ULONG dwError) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnComplete(eAVOperationResult eOperationResult) = 0;

 protected:
  ~IVxVirusScan_Callback() = default;
};
