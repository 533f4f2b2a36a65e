#include "qelda/QeldaScanListener.h"

#include <yara.h>

namespace qelda {
namespace {

int listen(ScanListener& listener, int message, void* data) {
  switch (message) {
    case CALLBACK_MSG_RULE_MATCHING:
      listener.detections.push_back(&listener.table->of(static_cast<const YR_RULE*>(data)));
      break;
    case CALLBACK_MSG_IMPORT_MODULE:
      listener.reader->moduleLoading(static_cast<const YR_MODULE_IMPORT*>(data)->module_name);
      break;
    case CALLBACK_MSG_MODULE_IMPORTED: listener.reader->moduleLoaded(); break;
    default: break;
  }
  return CALLBACK_CONTINUE;
}

}  // namespace

int onScanMessage(YR_SCAN_CONTEXT* /*context*/, int message, void* data, void* userData) {
  auto* listener = static_cast<ScanListener*>(userData);
  try {
    return listen(*listener, message, data);
  } catch (...) {
    // A verdict missing a detection would be a wrong verdict: the scan ends.
    if (listener->fault == CallbackFault::None) listener->fault = currentFault();
    return CALLBACK_ERROR;
  }
}

}  // namespace qelda
