#pragma once
// Calls a method of an automation object by name, as a script host does: the name
// is looked up with GetIDsOfNames (system default locale), the arguments, given
// first first, are passed last first in DISPPARAMS, and the method is invoked with
// DISPATCH_METHOD. Error descriptions the object fills in are freed.
//
// Thread-safety: none of its own; the object's contract applies.
#include <span>

#include "platform/automation/Dispatch.h"

namespace platform::automation {

// The failure of the look-up or of Invoke, or the method's own result. The
// arguments are borrowed for the call. `result` (VT_EMPTY on entry) receives the
// return value; null discards it.
HRESULT invokeByName(IDispatch& object, const wchar_t* name, std::span<const VARIANT> arguments,
                     VARIANT* result = nullptr);

}  // namespace platform::automation
