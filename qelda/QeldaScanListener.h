/*
 * What libyara tells during one scan: the rules that matched, and when a module
 * loads, so that the reader can show a format module the file whole.
 *
 * A listener belongs to one scan of one object and dies with it, so that no
 * detection of one object is ever reported for another. onScanMessage is the
 * callback libyara calls; it throws nothing back into libyara: a detection that
 * cannot be recorded (out of memory) ends the scan with CALLBACK_ERROR and is
 * noted as the listener's fault.
 *
 * Used by the one thread that runs the scan.
 */
#ifndef QELDA_SCAN_LISTENER_H
#define QELDA_SCAN_LISTENER_H

#include "qelda/QeldaBlockReader.h"
#include "qelda/QeldaCallbackFault.h"
#include "qelda/QeldaDetections.h"

#include <vector>

struct YR_SCAN_CONTEXT;

namespace qelda {

struct ScanListener {
  const DetectionTable* table = nullptr;
  BlockReader* reader = nullptr;
  std::vector<const Detection*> detections;
  CallbackFault fault = CallbackFault::None;
};

// The YR_CALLBACK_FUNC of a scan whose user data is a ScanListener.
int onScanMessage(YR_SCAN_CONTEXT* context, int message, void* data, void* userData);

}  // namespace qelda

#endif
