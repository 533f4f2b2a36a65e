#pragma once
// The factory of the process's file log back end.
#include <cstdint>

#include "foundation/VxLog.h"

// Creates and initialises the file log; on success *out holds one reference and
// 0 is returned, otherwise an error code and *out is untouched. `module` is the
// handle of the module whose name the lines carry (platform::moduleHandleOf);
// null stands for the host executable.
std::uint32_t createFileLog(const wchar_t* logName, const void* module, const wchar_t* suffix,
                            IVxLogBackEnd** out);
