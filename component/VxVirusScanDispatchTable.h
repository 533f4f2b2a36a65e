#pragma once
// The late-bound face of IVxVirusScan: its methods as Ovrascan.idl declares them.
#include "component/OvrascanLib.h"
#include "platform/automation/DispatchTable.h"

const platform::automation::DispatchTable& virusScanDispatchTable();
