#include "documents/VxAVScanResultXML.h"

#include <algorithm>
#include <charconv>
#include <new>
#include <string_view>
#include <vector>

#include "documents/VxXmlText.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxNATypeConversion.h"

namespace {

// The report's frame; a root without items is closed at once.
constexpr std::string_view kReportHead = "<?xml version=\"1.0\" encoding=\"utf-16\"?><ScanResults version=\"1.0\"";
constexpr std::string_view kReportTail = "</ScanResults>";
constexpr std::string_view kItemHead = "<scannedItem";
// About what one item takes, to size the text once.
constexpr std::size_t kBytesPerItem = 192;
constexpr char kNotDetectedPath[] = "ScanResults/scannedItem[@IsScanned=0 or @IsInfected=0]";
constexpr std::uint32_t kNoHash = 0xFFFF;

// Writes the report's text directly, in the form pugixml gives a document (raw
// format): a report holds one element per scanned object, and building a tree of
// them only to print it costs more than the scan of a machine whose verdicts are
// all remembered.
class ReportWriter {
 public:
  void number(const char* name, std::uint64_t value) {
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    text(name, std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }
  // A value that XML can carry (VxXmlText::attributeText).
  void text(const char* name, std::string_view value) {
    text_ += ' ';
    text_ += name;
    text_ += "=\"";
    appendEscaped(value);
    text_ += '"';
  }
  std::string& out() { return text_; }

 private:
  // The escapes of a double-quoted attribute value; white space other than the
  // blank is written as a character reference, so that a parser reads it back
  // unnormalised.
  void appendEscaped(std::string_view value) {
    std::size_t plain = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
      const char* escape = nullptr;
      switch (value[i]) {
        case '&': escape = "&amp;"; break;
        case '<': escape = "&lt;"; break;
        case '"': escape = "&quot;"; break;
        case '\t': escape = "&#09;"; break;
        case '\n': escape = "&#10;"; break;
        case '\r': escape = "&#13;"; break;
        default: continue;
      }
      text_.append(value.data() + plain, i - plain);
      text_ += escape;
      plain = i + 1;
    }
    text_.append(value.data() + plain, value.size() - plain);
  }

  std::string text_;
};

void writeAttributes(ReportWriter& item, const CVxScanObjectResult& r) {
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
    VxNAResult<std::wstring> built = buildReport(results, objectsNotQueued_, processesNotListed_);
    if (!built) return VxNAFail(built.error);
    report_ = std::move(built.value);
    return VxNASuccess();
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  } catch (const std::exception&) {
    return VxNAFail(ERROR_FUNCTION_FAILED);
  }
}

VxNAResult<std::wstring> CVxAVScanResultXML::buildReport(const VxScanObjectResultSet& results,
                                                          std::uint64_t objectsNotQueued,
                                                          std::uint32_t processesNotListed) {
  const std::vector<const CVxScanObjectResult*> records = inReportOrder(results);
  ReportWriter report;
  report.out().reserve(kReportHead.size() + kReportTail.size() + records.size() * kBytesPerItem);
  report.out() += kReportHead;
  if (objectsNotQueued != 0) report.number("objectsNotQueued", objectsNotQueued);
  if (processesNotListed != 0) report.number("processesNotListed", processesNotListed);
  if (records.empty()) {
    report.out() += "/>";
  } else {
    report.out() += '>';
    for (const CVxScanObjectResult* record : records) {
      report.out() += kItemHead;
      writeAttributes(report, *record);
      report.out() += "/>";
    }
    report.out() += kReportTail;
  }
  const std::string& text = report.out();
  return VxNATypeConversion::ansiBufferToWideString(text.data(), static_cast<std::uint32_t>(text.size()));
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

VxNAResult<> CVxAVScanResultXML::takeXML(std::wstring& xml, bool complete) {
  if (!complete) return getXML(xml, complete);
  xml = std::move(report_);
  report_.clear();
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
