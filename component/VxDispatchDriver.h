#pragma once
// Calls a script object's method by name, as a script host would: the name is looked
// up with GetIDsOfNames, the arguments are passed first first (DISPPARAMS holds them
// last first) and the method's return value is ignored.
//
// A method the object lacks, or a call that fails, is dropped without a trace: the
// script decides which events it wants to hear.
//
// Thread-safety: none of its own; the object's contract applies.
#include <initializer_list>

#include "platform/automation/Automation.h"

// Arguments are borrowed for the call, never cleared.
void callScriptMethod(IDispatch* script, const wchar_t* name, std::initializer_list<VARIANT> arguments);
