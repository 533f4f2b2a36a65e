#pragma once
// CVxNASysUtil: system helpers of the component. getRandomFolder names a folder
// for one session's scratch files under the temporary-files folder ($TMPDIR or
// /tmp, with its trailing "/"): the folder + prefix + a number from 1 to `range`
// drawn from the system's cryptographic random source (0 when the source fails).
// It creates nothing on disk.
//
// Results:
//   range 0                           -> ok false, empty value, 87
//   temporary folder unusable         -> ok true, empty value, 0 (callers treat
//                                        an empty path as unusable), logged at Error
//   otherwise                         -> ok true, the path, 0, logged at Normal
//
// Stateless; safe from any thread.
#include <cstdint>
#include <string>

#include "foundation/VxNAResult.h"

class CVxNASysUtil {
 public:
  static VxNAResult<std::wstring> getRandomFolder(std::wstring prefix, std::uint32_t range);
};
