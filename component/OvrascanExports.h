#pragma once
// The component module's exported entry points. Hosts find them with dlsym; the
// typedefs give their types.
#include "platform/automation/Automation.h"

extern "C" {
HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
HRESULT STDAPICALLTYPE DllCanUnloadNow();
}

using DllGetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using DllCanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();
