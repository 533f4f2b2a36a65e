#pragma once
// Conversions between Python values and VARIANTs, as a script host makes them:
// bool <-> VT_BOOL, int <-> VT_I4 (VT_UI4 / VT_I8 beyond its range), float <->
// VT_R8, str <-> VT_BSTR, None <-> VT_EMPTY, an automation object <-> VT_DISPATCH.
// Any other Python object handed to the component becomes a callback object
// (PythonCallback.h) whose methods are the object's own.
//
// Every function here needs the GIL.
#include <pybind11/pybind11.h>

#include "platform/automation/Automation.h"

namespace vexora {

// Fills `target` (VT_EMPTY on entry; the caller clears it).
void toVariant(const pybind11::handle& value, VARIANT& target);
// The Python value of a VARIANT; VT_BYREF values are read through.
pybind11::object fromVariant(const VARIANT& value);

}  // namespace vexora
