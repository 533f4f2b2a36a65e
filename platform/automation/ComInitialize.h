#pragma once
// Entering and leaving the object runtime on a thread. Linux has no apartments: every
// thread may call every object, so both calls succeed and do nothing; they exist so that
// the component's sources make the calls Windows needs.
//
// Safe from any thread.
#include "platform/automation/HResult.h"

inline constexpr DWORD COINIT_MULTITHREADED = 0x0;
inline constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
void CoUninitialize();
