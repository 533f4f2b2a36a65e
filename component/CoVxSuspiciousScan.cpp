#include "component/CoVxSuspiciousScan.h"

#include <string_view>

#include "foundation/VxLogStream.h"
#include "process/PathText.h"

namespace {

constexpr wchar_t kLogSource[] = L"CoVxSuspiciousScan";

}  // namespace

HRESULT CoVxSuspiciousScan::Configure(VARIANT vtToolPath, VARIANT* vtRetVal) {
  if (vtRetVal != nullptr && vtToolPath.vt == VT_BSTR && vtToolPath.bstrVal != nullptr &&
      vxprocess::hasEmbeddedNul(
          std::wstring_view(vtToolPath.bstrVal, SysStringLen(vtToolPath.bstrVal)))) {
    VX_LOG(VX_LOG_ERROR, L"CoVxSuspiciousScan::Configure")
        << L"Refused a tool path with a NUL in it. HRESULT: E_INVALIDARG";
    return E_INVALIDARG;
  }
  return CVxSuspScanDispImpl::Configure(vtToolPath, vtRetVal);
}
