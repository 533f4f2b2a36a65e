#include "suspicious/VxScriptCallback.h"

#include "foundation/VxLogHex.h"
#include "foundation/VxLogStream.h"
#include "platform/automation/Activation.h"
#include "platform/automation/GlobalInterfaceTable.h"

using platform::automation::com_ptr;

namespace {

constexpr wchar_t kLogSource[] = L"VxScriptCallBack";

LCID GetUserDefaultLCID() { return LOCALE_USER_DEFAULT; }

// The script's exception details are not examined, but what it filled in is ours
// to free.
void clearException(EXCEPINFO& exception) {
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
}

}  // namespace

CVxScriptCallback::CVxScriptCallback(IDispatch* scriptObject) : scriptObject_(scriptObject) {}

CVxScriptCallback::~CVxScriptCallback() {
  if (cookie_ != 0 && git_) git_->RevokeInterfaceFromGlobal(cookie_);
  cookie_ = 0;
  registered_ = false;
}

HRESULT CVxScriptCallback::_createGit() {
  if (git_) return S_OK;
  const HRESULT hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IGlobalInterfaceTable, git_.put_void());
  if (FAILED(hr)) {
    VX_LOG(VX_LOG_ERROR, L"CVxScriptCallback::_createGit")
        << L"Couldn't create GIT instance,hr:" << VxHex8{hr};
    return hr;
  }
  if (!git_) {
    VX_LOG(VX_LOG_ERROR, L"CVxScriptCallback::_createGit")
        << L"NULL GIT even though CoCreateInstance succeeded.";
    return E_UNEXPECTED;
  }
  return S_OK;
}

HRESULT CVxScriptCallback::Marshall() {
  if (cookie_ != 0) return S_OK;
  if (const HRESULT hr = _createGit(); FAILED(hr)) return hr;
  DWORD cookie = 0;
  const HRESULT hr = git_->RegisterInterfaceInGlobal(scriptObject_.get(), IID_IDispatch, &cookie);
  if (SUCCEEDED(hr) && cookie != 0) {
    cookie_ = cookie;
    registered_ = true;
    return S_OK;
  }
  VX_LOG(VX_LOG_ERROR, L"CVxScriptCallback::Marshall")
      << L"Couldn't register callback object in GIT: hr = " << VxHex8{hr};
  return hr;
}

HRESULT CVxScriptCallback::_getFromGit(com_ptr<IDispatch>& out) {
  out.reset();
  if (cookie_ == 0 || !registered_ || !git_) return E_UNEXPECTED;
  return git_->GetInterfaceFromGlobal(cookie_, IID_IDispatch, out.put_void());
}

com_ptr<IDispatch> CVxScriptCallback::getDispatch() {
  com_ptr<IDispatch> dispatch;
  if (registered_) {
    _getFromGit(dispatch);
  } else {
    dispatch = scriptObject_;
  }
  return dispatch;
}

HRESULT CVxScriptCallback::getDispID(const std::wstring& name, DISPID& id) {
  if (!scriptObject_) return E_NOINTERFACE;
  {
    std::lock_guard guard(cacheLock_);
    if (const auto cached = names_.find(name); cached != names_.end()) {
      id = cached->second;
      return S_OK;
    }
  }
  const com_ptr<IDispatch> dispatch = getDispatch();
  if (!dispatch) return E_FAIL;
  // The script answers outside the cache's lock: it may take its time, or call us.
  std::wstring text = name;
  LPOLESTR names[] = {text.data()};
  const HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, GetUserDefaultLCID(), &id);
  if (SUCCEEDED(hr)) {
    std::lock_guard guard(cacheLock_);
    names_.emplace(name, id);
  }
  return hr;
}

HRESULT CVxScriptCallback::invokeScriptFunction(const std::wstring& name, DISPPARAMS* params,
                                                VARIANT* result) {
  DISPID id = 0;
  if (const HRESULT hr = getDispID(name, id); FAILED(hr)) return hr;
  const com_ptr<IDispatch> dispatch = getDispatch();
  if (!dispatch) return E_NOINTERFACE;
  EXCEPINFO exception{};
  UINT argumentError = 0;
  const HRESULT hr = dispatch->Invoke(id, IID_NULL, GetUserDefaultLCID(), DISPATCH_METHOD, params,
                                      result, &exception, &argumentError);
  clearException(exception);
  return hr;
}
