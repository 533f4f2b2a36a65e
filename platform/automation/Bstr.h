#pragma once
// BSTR: the automation string. The pointer addresses the first character; the four
// bytes before it hold the length in bytes (not counting the terminating NUL that
// always follows), so a BSTR may contain NUL characters and SysStringLen still sees
// them. A null BSTR is a valid empty string.
//
// The functions are safe from any thread; a BSTR itself belongs to one owner.
#include "platform/automation/AutomationTypes.h"

using BSTR = OLECHAR*;

// A copy of the NUL-terminated text; null for a null text or when memory runs out.
BSTR SysAllocString(const OLECHAR* text);
// A string of `length` characters copied from `text` (NULs included), or left
// zero-filled when `text` is null; null when memory runs out.
BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
void SysFreeString(BSTR text);
// Length in characters, embedded NULs included; 0 for null.
UINT SysStringLen(BSTR text);
UINT SysStringByteLen(BSTR text);
