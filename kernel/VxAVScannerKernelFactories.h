#pragma once
// The kernel's collaborators are created through these factories, so that a host
// or a test can put others in their place. defaults() gives the product's own.
#include <functional>
#include <memory>

#include "documents/IVxAVScanResultXML.h"
#include "documents/IVxAVScannerXMLConfig.h"
#include "engine/IVxAVEngine.h"
#include "engine/IVxAVObjectScanner.h"
#include "engine/IVxAVScannerVersionInfo.h"
#include "foundation/VxNAResult.h"

struct CVxAVScannerKernelFactories {
  // Starts the engine as AVScanner.ini describes.
  std::function<VxNAResult<std::shared_ptr<IVxAVEngine>>()> getAVEngine;
  std::function<VxNAResult<std::shared_ptr<IVxAVScannerXMLConfig>>()> createXMLConfig;
  // The scanner must also expose IVxAVScannerConfig.
  std::function<VxNAResult<std::shared_ptr<IVxAVObjectScanner>>()> createObjectScanner;
  std::function<VxNAResult<std::shared_ptr<IVxAVScannerVersionInfo>>()> getAVScannerVersionInfo;
  std::function<VxNAResult<std::shared_ptr<IVxAVScanResultXML>>()> createScanResultXML;

  static CVxAVScannerKernelFactories defaults();
};
