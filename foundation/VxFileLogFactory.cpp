#include "foundation/VxFileLogFactory.h"

#include <memory>
#include <new>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxFileLog.h"

std::uint32_t createFileLog(const wchar_t* logName, const void* module, const wchar_t* suffix,
                            IVxLogBackEnd** out) {
  if (out == nullptr || logName == nullptr || *logName == L'\0' ||
      (suffix != nullptr && *suffix == L'\0')) {
    return ERROR_INVALID_PARAMETER;
  }
  std::unique_ptr<CVxFileLog> log(new (std::nothrow) CVxFileLog());
  if (!log) return ERROR_OUTOFMEMORY;
  if (const std::uint32_t error = log->initialize(logName, module, suffix); error != 0) return error;
  log->AddRef();
  *out = log.release();
  return 0;
}
