// ovrascan session-count: the clean-session counter through the object's
// automation methods, called by name through IDispatch as a script calls them
// (GetCleanSessionCount, SetCleanSessionCount, IncrementCleanSessionCount,
// GetPersistAfterUninstallState).
#include <array>
#include <cstdio>
#include <cwchar>
#include <span>
#include <string>

#include "platform/automation/InvokeByName.h"
#include "platform/automation/UniqueVariant.h"
#include "platform/automation/VariantOf.h"
#include "tools/ovrascan/Diagnostics.h"
#include "tools/ovrascan/OvrascanHost.h"

using platform::automation::invokeByName;
using platform::automation::UniqueVariant;

namespace {

// Calls `method` by name; false (failure reported) when it fails or, for a
// status method, returns a status other than 0.
bool call(IDispatch& object, const wchar_t* method, std::span<const VARIANT> arguments, UniqueVariant& result,
          bool returnsStatus) {
  const std::string name(method, method + std::wcslen(method));
  const HRESULT hr = invokeByName(object, method, arguments, result.get());
  if (FAILED(hr)) {
    Diagnostics::hresultFailure(name, hr);
    return false;
  }
  if (returnsStatus && result->ulVal != 0) {
    Diagnostics::statusFailure(name, result->ulVal);
    return false;
  }
  return true;
}

}  // namespace

int OvrascanHost::sessionCount(const CommandLine& line) {
  IDispatch& object = *object_;
  const VARIANT persist = platform::automation::variantOfBool(line.persist ? VARIANT_TRUE : VARIANT_FALSE);
  if (line.sessionAction == CommandLine::SessionAction::Set) {
    const std::array<VARIANT, 2> arguments{platform::automation::variantOfNumber(VT_UINT, line.sessionCount),
                                           persist};
    UniqueVariant status;
    if (!call(object, L"SetCleanSessionCount", arguments, status, true)) return kError;
  } else if (line.sessionAction == CommandLine::SessionAction::Increment) {
    const std::array<VARIANT, 1> arguments{persist};
    UniqueVariant status;
    if (!call(object, L"IncrementCleanSessionCount", arguments, status, true)) return kError;
  }
  UniqueVariant count;
  UniqueVariant kept;
  if (!call(object, L"GetCleanSessionCount", {}, count, false) ||
      !call(object, L"GetPersistAfterUninstallState", {}, kept, false)) {
    return kError;
  }
  std::printf("Clean sessions: %u\nPersist after uninstall: %s\n", static_cast<unsigned>(count->ulVal),
              kept->boolVal == VARIANT_TRUE ? "yes" : "no");
  return kNothingFound;
}
