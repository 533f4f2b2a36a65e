#pragma once
// The process-wide global interface table: an interface registered on one thread is
// fetched by cookie on any other. Windows marshals the pointer into the fetching
// thread's apartment; Linux has no apartments, so the table keeps one reference of
// the registered pointer and hands back the same pointer with a new reference
// (or, for another IID, what QueryInterface answers).
//
// Thread-safety: every method is safe from any thread without external
// synchronisation. References are given back outside the table's lock, so an object's
// Release may itself use the table. Registrations still present at process exit are
// released when the table is destroyed.
#include "platform/automation/Unknown.h"

inline constexpr IID IID_IGlobalInterfaceTable{
    0x00000146, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr CLSID CLSID_StdGlobalInterfaceTable{
    0x00000323, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class IGlobalInterfaceTable : public IUnknown {
 public:
  // E_INVALIDARG for a null pointer or cookie target; the cookie is never 0.
  virtual HRESULT STDMETHODCALLTYPE RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid, DWORD* pdwCookie) = 0;
  // E_INVALIDARG for a cookie that is not (or no longer) registered.
  virtual HRESULT STDMETHODCALLTYPE RevokeInterfaceFromGlobal(DWORD dwCookie) = 0;
  // E_INVALIDARG for an unknown cookie or null target; E_NOINTERFACE when the object
  // lacks `riid`.
  virtual HRESULT STDMETHODCALLTYPE GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) = 0;

 protected:
  ~IGlobalInterfaceTable() = default;
};

namespace platform::automation {

// The one table of the process, created on first use. Its AddRef and Release keep no
// count: it lives until process exit.
IGlobalInterfaceTable& globalInterfaceTable();

}  // namespace platform::automation
