#include "documents/VxAVScanResultXML.h"

#include <algorithm>
#include <new>
#include <vector>

#include "documents/VxXmlText.h"
#include "foundation/VxErrorCodes.h"

namespace {

constexpr wchar_t kTemplate[] =
    L"<?xml version=\"1.0\" encoding=\"utf-16\" ?><ScanResults version=\"1.0\"></ScanResults>";
constexpr char kRoot[] = "ScanResults";
constexpr char kItem[] = "scannedItem";
constexpr char kNotDetectedPath[] = "ScanResults/scannedItem[@IsScanned=0 or @IsInfected=0]";
constexpr std::uint32_t kNoHash = 0xFFFF;

// Sets the attributes of one item in report order; counts those that were set,
// since each is tried on its own.
class ItemWriter {
 public:
  explicit ItemWriter(pugi::xml_node element) : element_(element) {}

  void number(const char* name, std::uint32_t value) { text(name, std::to_string(value)); }
  void text(const char* name, const std::string& value) {
    pugi::xml_attribute attribute = element_.append_attribute(name);
    if (attribute && attribute.set_value(value.c_str())) ++written_;
  }
  std::size_t written() const { return written_; }

 private:
  pugi::xml_node element_;
  std::size_t written_ = 0;
};

void writeAttributes(ItemWriter& item, const CVxScanObjectResult& r) {
  item.number("itemType", r.itemType);
  item.number("itemSize", r.itemSize);
  item.text("itemName", VxXmlText::attributeText(r.itemName));
  item.number("IsScanned", r.IsScanned);
  if (r.IsScanned != 0) item.number("IsInfected", r.IsInfected);
  if (r.IsScanned != 0 && r.IsInfected != 0) {
    item.number("detect_type", r.detect_type);
    item.number("virus_type", r.virus_type);
    item.text("virus_name", VxXmlText::attributeText(r.virus_name));
    item.number("isRepairable", r.isRepairable);
    item.number("IsRepairAttempted", r.IsRepairAttempted);
    if (r.IsRepairAttempted != 0) {
      item.number("IsRepaired", r.IsRepaired);
      item.number("action_taken", r.action_taken);
      item.number("nesting_deleted", r.nesting_deleted);
      item.number("PassCount", r.PassCount);
    }
  }
  item.number("ObjectSummary", r.ObjectSummary);
  item.number("ScanError", r.ScanError);
  if (r.ObjectHashType != kNoHash) {
    item.number("ObjectHashType", r.ObjectHashType);
    item.text("ObjectHash", VxXmlText::attributeText(r.ObjectHash));
  }
}

// Records by object name; records of one name keep the set's order.
std::vector<const CVxScanObjectResult*> inReportOrder(const VxScanObjectResultSet& results) {
  std::vector<const CVxScanObjectResult*> records;
  for (const auto& record : results) {
    if (record) records.push_back(record.get());
  }
  std::stable_sort(records.begin(), records.end(),
                   [](const CVxScanObjectResult* a, const CVxScanObjectResult* b) { return a->itemName < b->itemName; });
  return records;
}

}  // namespace

std::shared_ptr<CVxAVScanResultXML> CVxAVScanResultXML::create() {
  try {
    return std::make_shared<CVxAVScanResultXML>();
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

VxNAResult<> CVxAVScanResultXML::setResults(const VxScanObjectResultSet& results) {
  try {
    if (&results != &results_) results_ = results;
    VxNAResult<std::wstring> built = buildReport();
    if (!built) return VxNAFail(built.error);
    report_ = std::move(built.value);
    return VxNASuccess();
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  } catch (const std::exception&) {
    return VxNAFail(ERROR_FUNCTION_FAILED);
  }
}

VxNAResult<std::wstring> CVxAVScanResultXML::buildReport() const {
  pugi::xml_document document;
  if (!VxXmlText::load(document, kTemplate, kMaxReportBytes)) return VxNAFail(ERROR_FUNCTION_FAILED);
  pugi::xml_node root = document.child(kRoot);
  for (const CVxScanObjectResult* record : inReportOrder(results_)) {
    if (!appendItem(root, *record)) return VxNAFail(ERROR_FUNCTION_FAILED);
  }
  std::wstring text = VxXmlText::save(document);
  if (text.empty()) return VxNAFail(ERROR_FUNCTION_FAILED);
  return text;
}

bool CVxAVScanResultXML::appendItem(pugi::xml_node& root, const CVxScanObjectResult& record) {
  pugi::xml_node element = root.append_child(kItem);
  if (!element) return false;
  ItemWriter item(element);
  writeAttributes(item, record);
  if (item.written() == 0) {
    root.remove_child(element);
    return false;
  }
  return true;
}

VxNAResult<> CVxAVScanResultXML::getXML(std::wstring& xml, bool complete) {
  if (complete) {
    xml = report_;
    return VxNASuccess();
  }
  VxNAResult<std::wstring> filtered = filterDetections(report_);
  if (!filtered) {
    xml.clear();
    return VxNAFail(filtered.error);
  }
  xml = std::move(filtered.value);
  return VxNASuccess();
}

VxNAResult<std::wstring> CVxAVScanResultXML::filterDetections(const std::wstring& completeReport) {
  try {
    if (completeReport.empty()) return VxNAFail(ERROR_INVALID_PARAMETER);
    pugi::xml_document document;
    if (VxNAResult<> loaded = VxXmlText::load(document, completeReport, kMaxReportBytes); !loaded)
      return VxNAFail(ERROR_INVALID_PARAMETER);
    const pugi::xpath_node_set notDetected = document.select_nodes(kNotDetectedPath);
    for (const pugi::xpath_node& item : notDetected) {
      pugi::xml_node node = item.node();
      node.parent().remove_child(node);
    }
    std::wstring text = VxXmlText::save(document);
    if (text.empty()) return VxNAFail(ERROR_FUNCTION_FAILED);
    return text;
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  } catch (const std::exception&) {
    return VxNAFail(ERROR_FUNCTION_FAILED);
  }
}
