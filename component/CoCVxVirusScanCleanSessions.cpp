// The clean-session counter as the script sees it (DISPIDs 10 to 13): each
// method asks the clean-session handler and turns its result into the status,
// count or flag the script gets.
#include <new>

#include "component/CoCVxVirusScan.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxLogStream.h"
#include "platform/automation/OutOfMemory.h"

namespace {
constexpr wchar_t kLogSource[] = L"CoCVxVirusScan";

// Memory running out in `body` is the method's failure with status 8.
template <class Body>
HRESULT withStatus(const wchar_t* function, unsigned int* pdwStatus, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    VX_LOG(VX_LOG_WARNING, function) << function << L" - out of memory, error: " << ERROR_NOT_ENOUGH_MEMORY;
    if (pdwStatus == nullptr) return E_OUTOFMEMORY;
    *pdwStatus = ERROR_NOT_ENOUGH_MEMORY;
    return S_OK;
  }
}

const wchar_t* flagText(bool flag) { return flag ? L"1" : L"0"; }
}  // namespace

using platform::automation::outOfMemoryAsHResult;

HRESULT CoCVxVirusScan::GetCleanSessionCount(unsigned int* pdwCount) {
  constexpr const wchar_t* kFunction = L"CoCVxVirusScan::GetCleanSessionCount";
  return outOfMemoryAsHResult([&]() -> HRESULT {
    if (pdwCount == nullptr) {
      VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - Invalid arguments";
      return E_INVALIDARG;
    }
    *pdwCount = 65535;
    const auto count = cleanSessions_.getCleanSessionCount();
    if (!count && count.error != ERROR_FILE_NOT_FOUND) {
      VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - getCleanSessionCount failed, error: " << count.error;
      return E_FAIL;
    }
    *pdwCount = count ? count.value : 0;  // nothing stored yet counts as none
    VX_LOG(VX_LOG_NORMAL, kFunction) << kFunction << L" - Count = " << *pdwCount;
    return S_OK;
  });
}

HRESULT CoCVxVirusScan::SetCleanSessionCount(unsigned int dwCount, VARIANT_BOOL bPersistAfterUninstall,
                                             unsigned int* pdwStatus) {
  constexpr const wchar_t* kFunction = L"CoCVxVirusScan::SetCleanSessionCount";
  return withStatus(kFunction, pdwStatus, [&]() -> HRESULT {
    if (pdwStatus == nullptr) {
      VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - Invalid arguments";
      return E_INVALIDARG;
    }
    *pdwStatus = 0;
    if (const auto set = cleanSessions_.setCleanSessionCount(dwCount); !set) {
      *pdwStatus = set.error;
      VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - setCleanSessionCount failed, error: " << set.error;
    }
    const bool persist = bPersistAfterUninstall == VARIANT_TRUE;
    if (const auto set = cleanSessions_.setPersistAfterUninstall(persist); !set) {
      *pdwStatus = set.error;
      VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - setPersistAfterUninstall failed, error: " << set.error;
    }
    if (*pdwStatus == 0) {
      VX_LOG(VX_LOG_NORMAL, kFunction) << kFunction << L" succeeded, Count = " << dwCount
                                       << L", Persist after Uninstall = " << flagText(persist);
    }
    return S_OK;
  });
}

HRESULT CoCVxVirusScan::IncrementCleanSessionCount(VARIANT_BOOL bPersistAfterUninstall, unsigned int* pdwStatus) {
  constexpr const wchar_t* kFunction = L"CoCVxVirusScan::IncrementCleanSessionCount";
  return withStatus(kFunction, pdwStatus, [&]() -> HRESULT {
    if (pdwStatus == nullptr) {
      VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - Invalid arguments";
      return E_INVALIDARG;
    }
    *pdwStatus = 0;
    // Read, add and write are one registry transaction: concurrent increments
    // of other threads and processes cannot come in between and be lost.
    CVxAVCleanSessionHandler::IncrementStep failedStep{};
    const auto previous = cleanSessions_.incrementCleanSessionCount(failedStep);
    if (!previous && failedStep == CVxAVCleanSessionHandler::IncrementStep::Read) {
      // A count that cannot be read is left alone, never overwritten; the flag
      // is still written below.
      *pdwStatus = previous.error;
      VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - getCleanSessionCount failed, error: " << previous.error;
    } else if (!previous) {
      *pdwStatus = previous.error;
      VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - setCleanSessionCount failed, error: " << previous.error;
    }
    const bool persist = bPersistAfterUninstall == VARIANT_TRUE;
    if (const auto set = cleanSessions_.setPersistAfterUninstall(persist); !set) {
      *pdwStatus = set.error;
      VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - setPersistAfterUninstall failed, error: " << set.error;
    }
    if (*pdwStatus == 0) {
      VX_LOG(VX_LOG_NORMAL, kFunction) << kFunction << L" succeeded, Count = " << previous.value + 1
                                       << L", Persist after Uninstall = " << flagText(persist);
    }
    return S_OK;
  });
}

HRESULT CoCVxVirusScan::GetPersistAfterUninstallState(VARIANT_BOOL* pbPersistAfterUninstall) {
  constexpr const wchar_t* kFunction = L"CoCVxVirusScan::GetPersistAfterUninstallState";
  return outOfMemoryAsHResult([&]() -> HRESULT {
    if (pbPersistAfterUninstall == nullptr) {
      VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - Invalid arguments";
      return E_INVALIDARG;
    }
    *pbPersistAfterUninstall = VARIANT_FALSE;
    const auto persist = cleanSessions_.getPersistAfterUninstall();
    if (!persist && persist.error != ERROR_FILE_NOT_FOUND) {
      VX_LOG(VX_LOG_WARNING, kFunction) << kFunction << L" - getPersistAfterUninstall failed, error: "
                                        << persist.error;
      return E_FAIL;
    }
    const bool flag = persist && persist.value;
    *pbPersistAfterUninstall = flag ? VARIANT_TRUE : VARIANT_FALSE;
    VX_LOG(VX_LOG_NORMAL, kFunction) << kFunction << L" - Value = " << flagText(flag);
    return S_OK;
  });
}
