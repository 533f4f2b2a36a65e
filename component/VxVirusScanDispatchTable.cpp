#include "component/VxVirusScanDispatchTable.h"

using platform::automation::dispatchMethod;
using platform::automation::DispatchTable;
using platform::automation::retval;

const DispatchTable& virusScanDispatchTable() {
  static const DispatchTable table({
      dispatchMethod(L"Register", 1, {VT_VARIANT}, retval(VT_UINT), &IVxVirusScan::Register),
      dispatchMethod(L"SetConfig", 2, {VT_BSTR}, retval(VT_UINT), &IVxVirusScan::SetConfig),
      dispatchMethod(L"Scan", 3, {VT_UINT}, retval(VT_UINT), &IVxVirusScan::Scan),
      dispatchMethod(L"Clean", 4, {}, retval(VT_UINT), &IVxVirusScan::Clean),
      dispatchMethod(L"CleanFile", 5, {VT_BSTR}, retval(VT_UINT), &IVxVirusScan::CleanFile),
      dispatchMethod(L"Cancel", 6, {}, retval(VT_UINT), &IVxVirusScan::Cancel),
      dispatchMethod(L"GetReport", 7, {VT_UINT}, retval(VT_BSTR), &IVxVirusScan::GetReport),
      dispatchMethod(L"GetVersion", 8, {VT_UINT}, retval(VT_BSTR), &IVxVirusScan::GetVersion),
      dispatchMethod(L"Uninitialize", 9, {VT_BOOL}, retval(VT_UINT), &IVxVirusScan::Uninitialize),
      dispatchMethod(L"GetCleanSessionCount", 10, {}, retval(VT_UINT), &IVxVirusScan::GetCleanSessionCount),
      dispatchMethod(L"SetCleanSessionCount", 11, {VT_UINT, VT_BOOL}, retval(VT_UINT),
                     &IVxVirusScan::SetCleanSessionCount),
      dispatchMethod(L"IncrementCleanSessionCount", 12, {VT_BOOL}, retval(VT_UINT),
                     &IVxVirusScan::IncrementCleanSessionCount),
      dispatchMethod(L"GetPersistAfterUninstallState", 13, {}, retval(VT_BOOL),
                     &IVxVirusScan::GetPersistAfterUninstallState),
  });
  return table;
}
