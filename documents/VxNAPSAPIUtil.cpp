#include "documents/VxNAPSAPIUtil.h"

#include <cerrno>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxNATypeConversion.h"
#include "platform/ProcessModules.h"

namespace {

std::uint32_t toWindowsError(std::uint32_t systemError) {
  switch (systemError) {
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    default:
      return ERROR_FUNCTION_FAILED;
  }
}

VxScanObjectIdentity identityOf(const platform::ProcessModule& module) {
  VxScanObjectIdentity identity;
  identity.deviceMajor = module.deviceMajor;
  identity.deviceMinor = module.deviceMinor;
  identity.inode = module.inode;
  identity.pid = module.pid;
  if (!module.kernelHandle.empty()) identity.kernelHandle = std::make_shared<const std::string>(module.kernelHandle);
  return identity;
}

}  // namespace

VxNAResult<> VxNAPSAPIUtil::enumProcessModules(const std::shared_ptr<IVxNAPSAPIUtil_Callback>& callback) {
  if (!callback) return VxNAFail(ERROR_INVALID_PARAMETER);
  const auto wide = [](const std::string& text) {
    return VxNATypeConversion::ansiBufferToWideString(text.data(), static_cast<std::uint32_t>(text.size()));
  };
  const platform::ProcessModuleWalk walk = platform::forEachProcessModule(
      [&](const platform::ProcessModule& module) {
        const std::wstring name = wide(module.name);
        return callback->onProcessModule(name, module.contentPath == module.name ? name : wide(module.contentPath),
                                         identityOf(module));
      });
  for (const platform::UnreadableProcess& process : walk.unreadable) {
    // Denied maps are the lot of a scan without root, and counted by the host.
    if (process.reason != platform::UnreadableMapsReason::Permission) callback->onUnlistedProcess(process.pid);
  }
  if (walk.systemError != 0) return VxNAFail(toWindowsError(walk.systemError));
  if (walk.stopped) return VxNAFail(ERROR_CONTINUE);
  return VxNASuccess();
}
