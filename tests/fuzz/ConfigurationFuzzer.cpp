// Fuzzes the scan configuration reader with arbitrary text. The bytes are taken
// as the host's narrow text, so undecodable bytes reach the reader as the wide
// escapes they become in the product.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>

#include "documents/VxAVScannerXMLConfig.h"
#include "foundation/VxNATypeConversion.h"

namespace {

// Stops every source walk at the first object, so that "processes" costs one
// process map per input.
class StopAtOnce : public IVxAVScannerXMLConfig_Callback {
 public:
  bool OnScanSource(std::shared_ptr<CVxAVScanObject>) override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::wstring text =
      VxNATypeConversion::ansiBufferToWideString(reinterpret_cast<const char*>(data), static_cast<std::uint32_t>(size));
  auto reader = CVxAVScannerXMLConfig::create();
  if (!reader->setConfiguration(text)) return 0;
  std::set<std::uint32_t> codes;
  reader->getScanTypes(codes);
  reader->getCleanTypes(codes);
  const std::uint32_t count = reader->getMaxScanCount().value;
  if (count == 0 || count > CVxAVScannerXMLConfig::kMaxScanCountLimit) __builtin_trap();
  reader->UnwrapScanSources(std::make_shared<StopAtOnce>());
  return 0;
}
