#include "foundation/VxNASysUtil.h"

#include <optional>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "foundation/VxNATypeConversion.h"
#include "platform/RandomSource.h"
#include "platform/TempFolder.h"

namespace {

constexpr wchar_t kLogSource[] = L"VxNASysEnvUtil";
constexpr wchar_t kGetRandomFolder[] = L"CVxNASysUtil::getRandomFolder";

// The temporary folder is taken into a buffer of this many wide characters; a
// longer one is not used.
constexpr std::size_t kTempPathCapacity = 1300;

}  // namespace

VxNAResult<std::wstring> CVxNASysUtil::getRandomFolder(std::wstring prefix, std::uint32_t range) {
  if (range == 0) return VxNAFail(ERROR_INVALID_PARAMETER);

  const std::wstring tempFolder =
      VxNATypeConversion::ansiBufferToWideString(platform::temporaryFolder());
  if (tempFolder.empty() || tempFolder.size() >= kTempPathCapacity) {
    VX_LOG(VX_LOG_ERROR, kGetRandomFolder)
        << L"CVxSifterScanner::getReportPath creating a temp folder, ERROR:"
        << ERROR_INSUFFICIENT_BUFFER;
    return std::wstring();
  }

  const std::optional<std::uint32_t> draw = platform::secureRandom32();
  const std::uint64_t number = draw ? std::uint64_t{*draw % range} + 1 : 0;

  std::wstring path = tempFolder + prefix + std::to_wstring(number);
  VX_LOG(VX_LOG_NORMAL, kGetRandomFolder)
      << L"CVxSifterScanner::getRandomFolder Temp file created , Path:" << path;
  return path;
}
