#pragma once
// The late-bound face of IVxSuspiciousScan: its methods as Ovrascan.idl declares them.
#include "platform/automation/DispatchTable.h"
#include "suspicious/VxSuspiciousScanLib.h"

const platform::automation::DispatchTable& suspiciousScanDispatchTable();
