#pragma once
// The automation runtime in one include, as <windows.h> and <oleauto.h> give it on
// Windows: component sources include this header and nothing below it.
//
// See each header for its thread-safety contract.
#include "platform/automation/Activation.h"
#include "platform/automation/AutomationTypes.h"
#include "platform/automation/Bstr.h"
#include "platform/automation/ClassFactory.h"
#include "platform/automation/ComInitialize.h"
#include "platform/automation/Dispatch.h"
#include "platform/automation/GlobalInterfaceTable.h"
#include "platform/automation/Guid.h"
#include "platform/automation/HResult.h"
#include "platform/automation/Unknown.h"
#include "platform/automation/Variant.h"
