// ovrascan session-count: the clean-session counter through the object's
// automation methods, called by name through IDispatch as a script calls them
// (GetCleanSessionCount, SetCleanSessionCount, IncrementCleanSessionCount,
// GetPersistAfterUninstallState).
#include <array>
#include <cstdio>
#include <cwchar>
#include <span>
#include <string>
#include <utility>

#include "foundation/VxProtectedValueCipher.h"
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

// After a getter failed: without MD5 no value can be checked; otherwise the
// stored value is damaged or its settings cannot be reached, and setting
// replaces a damaged one.
void explainUnreadable(const wchar_t* method) {
  const std::string value = std::wcscmp(method, L"GetCleanSessionCount") == 0 ? "clean-session count"
                                                                               : "persist-after-uninstall flag";
  if (!vxMd5({})) {
    Diagnostics::error("the " + value + " cannot be checked: OpenSSL provides no MD5");
    return;
  }
  Diagnostics::error("the stored " + value +
                     " cannot be read: it is damaged, or the product settings (AVScanner.ini) that locate it "
                     "cannot be read; ovrascan session-count set N [--persist] replaces a damaged value");
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
  for (const auto& [method, result] : {std::pair{L"GetCleanSessionCount", &count},
                                       std::pair{L"GetPersistAfterUninstallState", &kept}}) {
    if (!call(object, method, {}, *result, false)) {
      explainUnreadable(method);
      return kError;
    }
  }
  std::printf("Clean sessions: %u\nPersist after uninstall: %s\n", static_cast<unsigned>(count->ulVal),
              kept->boolVal == VARIANT_TRUE ? "yes" : "no");
  return kNothingFound;
}
