#include "kernel/VxAVScannerKernelFactories.h"

#include "foundation/VxErrorCodes.h"

namespace {

// Collaborators this build does not carry yet answer "operation not supported".
template <class T>
VxNAResult<std::shared_ptr<T>> notSupported() {
  return VxNAFail(VX_E_NOT_SUPPORTED);
}

}  // namespace

CVxAVScannerKernelFactories CVxAVScannerKernelFactories::defaults() {
  CVxAVScannerKernelFactories factories;
  factories.getAVEngine = notSupported<IVxAVEngine>;
  factories.createXMLConfig = notSupported<IVxAVScannerXMLConfig>;
  factories.createObjectScanner = notSupported<IVxAVObjectScanner>;
  factories.getAVScannerVersionInfo = notSupported<IVxAVScannerVersionInfo>;
  factories.createScanResultXML = notSupported<IVxAVScanResultXML>;
  return factories;
}
