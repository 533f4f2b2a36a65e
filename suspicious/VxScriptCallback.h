#pragma once
// CVxScriptCallback: holds a script object and calls its functions by name from
// any thread. The object is registered in the global interface table on the
// script's thread (Marshall), so that each calling thread gets a pointer valid
// for itself; without a registration the raw pointer is used. A function name's
// dispatch identifier is looked up once and cached.
//
// Calling order: construct and Marshall on the thread that received the script
// object; then invokeScriptFunction from any thread; destroy on any thread.
//
// Thread-safety: after Marshall, invokeScriptFunction and getDispID may run on
// several threads at once (the name cache has its own lock, released while the
// script object is asked for a name). Marshall must not race with them.
#include <map>
#include <mutex>
#include <string>

#include "platform/automation/Automation.h"
#include "platform/automation/ComPtr.h"

class CVxScriptCallback {
 public:
  explicit CVxScriptCallback(IDispatch* scriptObject);
  virtual ~CVxScriptCallback();
  CVxScriptCallback(const CVxScriptCallback&) = delete;
  CVxScriptCallback& operator=(const CVxScriptCallback&) = delete;

  // Calls `name` as a method with `params`; the HRESULT of Invoke, or of the
  // name lookup when it fails.
  virtual HRESULT invokeScriptFunction(const std::wstring& name, DISPPARAMS* params, VARIANT* result);
  virtual HRESULT getDispID(const std::wstring& name, DISPID& id);
  // A pointer usable on the calling thread, or null.
  virtual platform::automation::com_ptr<IDispatch> getDispatch();

  // Registers the script object in the global interface table; 0 when it is
  // (also when it already was), else the failure, after which calls still reach
  // the object through the raw pointer.
  HRESULT Marshall();

 protected:
  virtual HRESULT _getFromGit(platform::automation::com_ptr<IDispatch>& out);
  virtual HRESULT _createGit();

 private:
  platform::automation::com_ptr<IDispatch> scriptObject_;
  std::mutex cacheLock_;  // guards names_
  std::map<std::wstring, DISPID> names_;
  DWORD cookie_ = 0;
  bool registered_ = false;
  platform::automation::com_ptr<IGlobalInterfaceTable> git_;
};
