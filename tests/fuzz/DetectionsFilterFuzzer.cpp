// Fuzzes the detections filter with arbitrary report text, and checks that what
// it returns can be filtered again to the same text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "documents/VxAVScanResultXML.h"
#include "foundation/VxNATypeConversion.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring text =
      VxNATypeConversion::ansiBufferToWideString(reinterpret_cast<const char*>(data), static_cast<std::uint32_t>(size));
  const VxNAResult<std::wstring> filtered = CVxAVScanResultXML::filterDetections(text);
  if (!filtered) return 0;
  const VxNAResult<std::wstring> again = CVxAVScanResultXML::filterDetections(filtered.value);
  if (!again || again.value != filtered.value) __builtin_trap();
  return 0;
}
