#include "platform/automation/ComInitialize.h"

HRESULT CoInitializeEx(LPVOID, DWORD) { return S_OK; }

void CoUninitialize() {}
