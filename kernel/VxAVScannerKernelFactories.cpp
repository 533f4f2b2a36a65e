#include "kernel/VxAVScannerKernelFactories.h"

#include "documents/VxAVScanResultXML.h"
#include "documents/VxAVScannerXMLConfig.h"
#include "engine/VxAVEngineStartup.h"
#include "engine/VxAVObjectScanner.h"
#include "engine/VxAVScannerVersionInfo.h"
#include "foundation/VxErrorCodes.h"

namespace {

// The product's factories hand out null only when memory runs out.
template <class Interface, class Implementation>
VxNAResult<std::shared_ptr<Interface>> created() {
  std::shared_ptr<Interface> object = Implementation::create();
  if (object == nullptr) return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  return object;
}

}  // namespace

CVxAVScannerKernelFactories CVxAVScannerKernelFactories::defaults() {
  CVxAVScannerKernelFactories factories;
  factories.getAVEngine = [] { return ::getAVEngine(); };
  factories.createXMLConfig = created<IVxAVScannerXMLConfig, CVxAVScannerXMLConfig>;
  factories.createObjectScanner = created<IVxAVObjectScanner, CVxAVObjectScanner>;
  factories.getAVScannerVersionInfo = [] { return ::getAVScannerVersionInfo(); };
  factories.createScanResultXML = created<IVxAVScanResultXML, CVxAVScanResultXML>;
  return factories;
}
