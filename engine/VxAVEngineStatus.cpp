#include "engine/VxAVEngineStatus.h"

#include "foundation/VxErrorCodes.h"

namespace {

// The first status that no longer fits below 0x42040000.
constexpr std::uint32_t kFirstWrappedStatus = 0xD0F0;
constexpr std::uint32_t kWrappedStatusBase = 0x42020000;

}  // namespace

std::uint32_t mapEngineStatus(std::uint16_t status) {
  if (status == 0) return VX_ERROR_SUCCESS;
  if (status < kFirstWrappedStatus) return VX_E_ENGINE_STATUS_BASE + status;
  return kWrappedStatusBase + (status - kFirstWrappedStatus);
}
