#include "foundation/VxFileLogFactory.h"

#include "foundation/VxErrorCodes.h"

// The rotating file log is not part of this build yet: without a back end, log
// statements are formatted and discarded.
std::uint32_t createFileLog(const wchar_t* logName, const void* /*module*/,
                            const wchar_t* suffix, IVxLogBackEnd** out) {
  if (out == nullptr || logName == nullptr || *logName == L'\0' ||
      (suffix != nullptr && *suffix == L'\0')) {
    return ERROR_INVALID_PARAMETER;
  }
  return VX_E_NOT_SUPPORTED;
}
