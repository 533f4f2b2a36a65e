#pragma once
// A "script object" made from named C++ functions: an IDispatch whose methods are
// found by name (GetIDsOfNames, without regard to case) and called through Invoke,
// the way a script engine exposes a script's object to a component. Hosts use it to
// pass callbacks; tests use it to play the script.
//
// Member DISPIDs are 1, 2, ... in the order given. Any argument count is accepted, as
// script functions accept one; the function receives the arguments first first
// (copies, cleared after the call) and may store a result. Named arguments and
// property puts are refused (DISP_E_NONAMEDARGS, DISP_E_MEMBERNOTFOUND).
//
// Thread-safety: the object is immutable after creation and may be called from any
// thread at once; the functions must be safe to call that way themselves.
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/automation/ComPtr.h"
#include "platform/automation/Dispatch.h"

namespace platform::automation {

struct ScriptMethod {
  std::wstring name;
  // `result` is never null and VT_EMPTY on entry.
  std::function<HRESULT(std::span<const VARIANT> arguments, VARIANT* result)> call;
};

// Null only when memory runs out.
com_ptr<IDispatch> makeScriptObject(std::vector<ScriptMethod> methods);

}  // namespace platform::automation
