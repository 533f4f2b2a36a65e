#pragma once
// CVxSuspScanDispCallBack: the script object registered with the suspicious-scan
// object, called by name when a collection or an upload has ended: the script's
// "OnScanComplete" and "OnUploadComplete" functions, each with the outcome code.
//
// Thread-safety: that of CVxScriptCallback.
#include "suspicious/VxScriptCallback.h"

class CVxSuspScanDispCallBack : public CVxScriptCallback {
 public:
  using CVxScriptCallback::CVxScriptCallback;

  // Calls the script function with a copy of `argument`; a failure is logged and
  // returned.
  HRESULT OnScanCompleted(VARIANT* argument);
  HRESULT OnUploadCompleted(VARIANT* argument);

 private:
  HRESULT callWithOneArgument(const wchar_t* function, const wchar_t* logFunction,
                              const wchar_t* failureText, VARIANT* argument);
};
