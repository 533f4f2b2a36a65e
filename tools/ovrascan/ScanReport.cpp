#include "tools/ovrascan/ScanReport.h"

#include <cstring>
#include <sstream>
#include <string_view>

#include "tools/ovrascan/JsonText.h"

namespace {

constexpr char kRoot[] = "ScanResults";
constexpr char kItem[] = "scannedItem";

bool flag(const pugi::xml_node& item, const char* name) { return std::strcmp(item.attribute(name).value(), "1") == 0; }

// Every attribute but the texts is an unsigned number; one that does not look like
// a number is written as the text it is, so nothing is lost.
bool isNumber(const pugi::xml_attribute& attribute) {
  constexpr std::string_view kTexts[] = {"itemName", "virus_name", "ObjectHash"};
  for (std::string_view text : kTexts) {
    if (text == attribute.name()) return false;
  }
  const std::string_view value = attribute.value();
  // Sizes run to 64 bits; JSON readers that keep numbers as doubles still read
  // every size a file system gives exactly up to 2^53.
  constexpr std::size_t kLongestU64 = 20;
  return !value.empty() && value.size() <= kLongestU64 && (value == "0" || value.front() != '0') &&
         value.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

std::string ScanReport::load(std::wstring_view text) {
  document_.reset();
  const pugi::xml_parse_result parsed =
      document_.load_buffer(text.data(), text.size() * sizeof(wchar_t), pugi::parse_default | pugi::parse_declaration,
                            pugi::encoding_wchar);
  if (!parsed) return std::string("the report is not well-formed XML: ") + parsed.description();
  if (!document_.child(kRoot)) return std::string("the report has no ") + kRoot + " root";
  return {};
}

ScanReport::Counts ScanReport::counts() const {
  Counts counts;
  for (const pugi::xml_node& item : document_.child(kRoot).children(kItem)) {
    ++counts.items;
    const bool scanned = flag(item, "IsScanned");
    if (scanned) ++counts.scanned;
    if (flag(item, "IsInfected")) ++counts.infected;
    if (flag(item, "IsRepaired")) ++counts.cleaned;
    if (!scanned) ++counts.notScanned;
    if (item.attribute("ScanError").as_uint() != 0) ++counts.errors;
  }
  return counts;
}

std::vector<ScanReport::Detection> ScanReport::detections() const {
  std::vector<Detection> found;
  for (const pugi::xml_node& item : document_.child(kRoot).children(kItem)) {
    if (!flag(item, "IsInfected")) continue;
    found.push_back({item.attribute("itemName").value(), item.attribute("virus_name").value(),
                     flag(item, "IsRepaired"), item.attribute("ScanError").as_uint(),
                     flag(item, "IsRepairAttempted")});
  }
  return found;
}

std::vector<ScanReport::ItemState> ScanReport::itemStates() const {
  std::vector<ItemState> states;
  for (const pugi::xml_node& item : document_.child(kRoot).children(kItem)) {
    states.push_back({item.attribute("itemName").value(), flag(item, "IsScanned"),
                      item.attribute("ScanError").as_uint(), item.attribute("ObjectSummary").as_uint()});
  }
  return states;
}

std::uint64_t ScanReport::objectsNotQueued() const {
  return document_.child(kRoot).attribute("objectsNotQueued").as_ullong();
}

std::uint64_t ScanReport::processesNotListed() const {
  return document_.child(kRoot).attribute("processesNotListed").as_ullong();
}

std::string ScanReport::json() const {
  const pugi::xml_node root = document_.child(kRoot);
  std::string out = "{\"version\": " + JsonText::quoted(pugi::as_wide(root.attribute("version").value()));
  if (const std::uint64_t notQueued = objectsNotQueued(); notQueued != 0) {
    out += ", \"objectsNotQueued\": " + std::to_string(notQueued);
  }
  if (const std::uint64_t notListed = processesNotListed(); notListed != 0) {
    out += ", \"processesNotListed\": " + std::to_string(notListed);
  }
  out += ", \"items\": [";
  const char* separator = "\n  ";
  for (const pugi::xml_node& item : root.children(kItem)) {
    out += separator;
    separator = ",\n  ";
    out += '{';
    const char* between = "";
    for (const pugi::xml_attribute& attribute : item.attributes()) {
      out += between;
      between = ", ";
      out += JsonText::quoted(pugi::as_wide(attribute.name()));
      out += ": ";
      out += isNumber(attribute) ? std::string(attribute.value()) : JsonText::quoted(pugi::as_wide(attribute.value()));
    }
    out += '}';
  }
  out += root.first_child() ? "\n]}\n" : "]}\n";
  return out;
}

std::string ScanReport::bytes(Encoding encoding) const {
  pugi::xml_document copy;
  copy.reset(document_);
  pugi::xml_node declaration = copy.first_child();
  if (declaration.type() != pugi::node_declaration) declaration = copy.prepend_child(pugi::node_declaration);
  while (declaration.first_attribute()) declaration.remove_attribute(declaration.first_attribute());
  declaration.append_attribute("version") = "1.0";
  declaration.append_attribute("encoding") = encoding == Encoding::Utf16 ? "UTF-16" : "UTF-8";
  std::ostringstream out;
  const unsigned flags = pugi::format_default | (encoding == Encoding::Utf16 ? pugi::format_write_bom : 0u);
  copy.save(out, "  ", flags, encoding == Encoding::Utf16 ? pugi::encoding_utf16_le : pugi::encoding_utf8);
  return out.str();
}

ScanReport::Encoding ScanReport::encodingFor(const std::string& fileName) {
  constexpr std::string_view kUtf16Suffix = ".utf16.xml";
  return fileName.size() >= kUtf16Suffix.size() &&
                 fileName.compare(fileName.size() - kUtf16Suffix.size(), kUtf16Suffix.size(), kUtf16Suffix) == 0
             ? Encoding::Utf16
             : Encoding::Utf8;
}
