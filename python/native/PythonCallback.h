#pragma once
// A Python object as a script object for the component: an IDispatch whose
// methods are the object's public callable attributes (names not starting with
// "_"), found without regard to case. The method table is fixed when the object
// is wrapped (platform/automation/ScriptObject.h), so calls from the component's
// threads share nothing mutable but the Python object itself.
//
// Each call takes the GIL, converts the arguments, calls the method and gives
// the GIL back. An exception in the method is logged to the "vexora" logger and
// answered with DISP_E_EXCEPTION; it never reaches the component's thread. Once
// the interpreter is finalizing, calls answer E_UNEXPECTED without touching it,
// and the last reference to the Python object is left to the process's end.
//
// Needs the GIL to wrap; the wrapper may then be called and released from any
// thread.
#include <pybind11/pybind11.h>

#include "platform/automation/ComPtr.h"
#include "platform/automation/Dispatch.h"

namespace vexora {

platform::automation::com_ptr<IDispatch> wrapPythonObject(const pybind11::object& object);

}  // namespace vexora
