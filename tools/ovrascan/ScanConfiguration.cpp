#include "tools/ovrascan/ScanConfiguration.h"

#include <pugixml.hpp>

#include "documents/VxAVScannerXMLConfig.h"

namespace ScanConfiguration {

bool selectsNoScanType(const std::wstring& text) {
  // A document the object refuses is the object's to report: its reason names
  // what is wrong, which the missing scan type would hide.
  if (!CVxAVScannerXMLConfig::checkConfiguration(text)) return false;
  pugi::xml_document document;
  if (!document.load_buffer(text.data(), text.size() * sizeof(wchar_t), pugi::parse_default, pugi::encoding_wchar)) {
    return false;
  }
  const pugi::xml_node root = document.child("scanconfig");
  return root && !root.select_node("scantype/item");
}

}  // namespace ScanConfiguration
