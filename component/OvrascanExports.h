#pragma once
// The component module's exported entry points. Hosts find them with dlsym; the
// typedefs give their types.
#include "platform/automation/Automation.h"

using LPCWSTR = const wchar_t*;

extern "C" {
HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);
HRESULT STDAPICALLTYPE DllCanUnloadNow();
HRESULT STDAPICALLTYPE DllRegisterServer();
HRESULT STDAPICALLTYPE DllUnregisterServer();
HRESULT STDAPICALLTYPE DllInstall(BOOL bInstall, LPCWSTR pszCmdLine);
}

using DllGetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using DllCanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();
using DllRegisterServerFunction = HRESULT(STDAPICALLTYPE*)();
using DllUnregisterServerFunction = HRESULT(STDAPICALLTYPE*)();
using DllInstallFunction = HRESULT(STDAPICALLTYPE*)(BOOL, LPCWSTR);
