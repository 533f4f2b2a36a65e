#include "suspicious/VxSuspiciousScanDispatchTable.h"

using platform::automation::dispatchMethod;
using platform::automation::DispatchTable;
using platform::automation::retval;

const DispatchTable& suspiciousScanDispatchTable() {
  static const DispatchTable table({
      dispatchMethod(L"RegisterCallback", 1, {VT_VARIANT}, retval(VT_VARIANT),
                     &IVxSuspiciousScan::RegisterCallback),
      dispatchMethod(L"UnRegisterCallback", 2, {}, retval(VT_VARIANT),
                     &IVxSuspiciousScan::UnRegisterCallback),
      dispatchMethod(L"Scan", 3, {}, retval(VT_VARIANT), &IVxSuspiciousScan::Scan),
      dispatchMethod(L"Abort", 4, {}, retval(VT_VARIANT), &IVxSuspiciousScan::Abort),
      dispatchMethod(L"GetReport", 5, {}, retval(VT_VARIANT), &IVxSuspiciousScan::GetReport),
      dispatchMethod(L"UploadReport", 6, {}, retval(VT_VARIANT), &IVxSuspiciousScan::UploadReport),
      dispatchMethod(L"Configure", 7, {VT_VARIANT}, retval(VT_VARIANT), &IVxSuspiciousScan::Configure),
      dispatchMethod(L"GetVersion", 8, {}, retval(VT_VARIANT), &IVxSuspiciousScan::GetVersion),
      dispatchMethod(L"CleanSession", 9, {}, retval(VT_VARIANT), &IVxSuspiciousScan::CleanSession),
  });
  return table;
}
