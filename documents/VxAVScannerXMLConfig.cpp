#include "documents/VxAVScannerXMLConfig.h"

#include <climits>
#include <new>
#include <string_view>

#include "documents/VxDetectionTypes.h"
#include "documents/VxNAPSAPIUtil.h"
#include "documents/VxXmlText.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxAVScanObject.h"

namespace {

constexpr char kMaxScanCountPath[] = "scanconfig/maxscancount";
constexpr char kCollectHashPath[] = "scanconfig/collecthash";
constexpr char kScanTypePath[] = "scanconfig/scantype/item";
constexpr char kCleanTypePath[] = "scanconfig/cleantype/item";
constexpr char kSourcePath[] = "scanconfig/source/item";
constexpr char kValue[] = "value";
constexpr char kType[] = "type";
constexpr std::string_view kProcessesSource = "processes";
constexpr std::string_view kFolderMacroSource = "foldermacro";

// atoi as the host's runtime has it: leading blanks, an optional sign, digits up
// to the first other character, 0 without digits; out-of-range values saturate
// instead of being undefined.
std::int32_t parseDecimal(std::string_view text) {
  std::size_t i = text.find_first_not_of(" \t\n\v\f\r");
  if (i == std::string_view::npos) return 0;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > std::int64_t{INT_MAX} + 1) break;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<std::int32_t>(value);
}

std::uint32_t toMaxScanCount(std::int32_t number) {
  if (number == 0) return 1;
  const auto count = static_cast<std::uint32_t>(number);
  return count > CVxAVScannerXMLConfig::kMaxScanCountLimit ? CVxAVScannerXMLConfig::kMaxScanCountLimit : count;
}

std::string_view attributeValue(const pugi::xml_node& node, const char* name) {
  return node.attribute(name).value();
}

}  // namespace

std::shared_ptr<CVxAVScannerXMLConfig> CVxAVScannerXMLConfig::create() {
  // Only create() makes readers, so that every one knows its shared owner.
  struct Constructible : CVxAVScannerXMLConfig {};
  try {
    std::shared_ptr<CVxAVScannerXMLConfig> reader = std::make_shared<Constructible>();
    reader->self_ = reader;
    return reader;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

VxNAResult<> CVxAVScannerXMLConfig::setConfiguration(const std::wstring& text) {
  try {
    pugi::xml_document document;
    if (VxNAResult<> loaded = VxXmlText::load(document, text, VxXmlText::kMaxConfigurationBytes); !loaded)
      return loaded;
    if (VxNAResult<> read = readConfiguration(document); !read) return read;
    configuration_ = text;
    return VxNASuccess();
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  } catch (const std::exception&) {
    return VxNAFail(ERROR_FUNCTION_FAILED);
  }
}

VxNAResult<> CVxAVScannerXMLConfig::readConfiguration(const pugi::xml_document& document) {
  if (VxNAResult<> count = readMaxScanCount(document); !count) return count;
  readCollectHash(document);
  if (VxNAResult<> scan = readDetectionTypes(document, kScanTypePath, scanTypes_); !scan) return scan;
  return readDetectionTypes(document, kCleanTypePath, cleanTypes_);
}

VxNAResult<> CVxAVScannerXMLConfig::readMaxScanCount(const pugi::xml_document& document) {
  const std::string_view value = attributeValue(document.select_node(kMaxScanCountPath).node(), kValue);
  if (value.empty()) return VxNAFail(ERROR_INVALID_DATA);
  maxScanCount_ = toMaxScanCount(parseDecimal(value));
  return VxNASuccess();
}

void CVxAVScannerXMLConfig::readCollectHash(const pugi::xml_document& document) {
  collectHash_ = false;
  const std::string_view value = attributeValue(document.select_node(kCollectHashPath).node(), kValue);
  if (!value.empty()) collectHash_ = parseDecimal(value) != 0;
}

VxNAResult<> CVxAVScannerXMLConfig::readDetectionTypes(const pugi::xml_document& document, const char* xpath,
                                                       std::set<std::uint32_t>& codes) {
  for (const pugi::xpath_node& item : document.select_nodes(xpath)) {
    if (!VxDetectionTypes::addCodes(attributeValue(item.node(), kType), codes))
      return VxNAFail(VX_E_TYPE_NOT_RECOGNIZED);
  }
  return VxNASuccess();
}

VxNAResult<std::uint32_t> CVxAVScannerXMLConfig::getMaxScanCount() { return maxScanCount_; }

VxNAResult<> CVxAVScannerXMLConfig::getScanTypes(std::set<std::uint32_t>& types) {
  if (&types != &scanTypes_) types = scanTypes_;
  return VxNASuccess();
}

VxNAResult<> CVxAVScannerXMLConfig::getCleanTypes(std::set<std::uint32_t>& types) {
  if (&types != &cleanTypes_) types = cleanTypes_;
  return VxNASuccess();
}

VxNAResult<bool> CVxAVScannerXMLConfig::getCollectHash() { return collectHash_; }

VxNAResult<> CVxAVScannerXMLConfig::UnwrapScanSources(std::shared_ptr<IVxAVScannerXMLConfig_Callback> callback) {
  if (!callback) return VxNAFail(ERROR_INVALID_PARAMETER);
  if (configuration_.empty()) return VxNAFail(ERROR_INVALID_DATA);
  try {
    pugi::xml_document document;
    if (VxNAResult<> loaded = VxXmlText::load(document, configuration_, VxXmlText::kMaxConfigurationBytes);
        !loaded)
      return loaded;
    sourceCallback_ = std::move(callback);
    VxNAResult<> walked = walkSources(document);
    // The callback is the kernel, which owns this reader: holding it beyond the
    // walk would keep both alive for good.
    sourceCallback_.reset();
    return walked;
  } catch (const std::bad_alloc&) {
    sourceCallback_.reset();
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  } catch (const std::exception&) {
    sourceCallback_.reset();
    return VxNAFail(ERROR_FUNCTION_FAILED);
  }
}

VxNAResult<> CVxAVScannerXMLConfig::walkSources(const pugi::xml_document& document) {
  for (const pugi::xpath_node& item : document.select_nodes(kSourcePath)) {
    if (VxNAResult<> unwrapped = unwrapSource(item.node()); !unwrapped) return unwrapped;
  }
  return VxNASuccess();
}

VxNAResult<> CVxAVScannerXMLConfig::checkSource(const pugi::xml_node& item) {
  const std::string_view type = attributeValue(item, kType);
  if (type == kProcessesSource) return VxNASuccess();
  if (type == kFolderMacroSource) {
    if (attributeValue(item, kValue).empty()) return VxNAFail(ERROR_INVALID_PARAMETER);
    return VxNAFail(VX_E_NOT_SUPPORTED);
  }
  return VxNAFail(VX_E_TYPE_NOT_RECOGNIZED);
}

VxNAResult<> CVxAVScannerXMLConfig::unwrapSource(const pugi::xml_node& item) {
  if (VxNAResult<> usable = checkSource(item); !usable) return usable;
  const std::shared_ptr<CVxAVScannerXMLConfig> self = self_.lock();
  if (!self) return VxNAFail(ERROR_FUNCTION_FAILED);
  return VxNAPSAPIUtil::enumProcessModules(std::shared_ptr<IVxNAPSAPIUtil_Callback>(self));
}

VxNAResult<> CVxAVScannerXMLConfig::checkConfiguration(const std::wstring& text) {
  const std::shared_ptr<CVxAVScannerXMLConfig> reader = create();
  if (!reader) return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  if (VxNAResult<> read = reader->setConfiguration(text); !read) return read;
  try {
    pugi::xml_document document;
    if (VxNAResult<> loaded = VxXmlText::load(document, text, VxXmlText::kMaxConfigurationBytes); !loaded)
      return loaded;
    for (const pugi::xpath_node& item : document.select_nodes(kSourcePath)) {
      if (VxNAResult<> usable = checkSource(item.node()); !usable) return usable;
    }
    return VxNASuccess();
  } catch (const std::bad_alloc&) {
    return VxNAFail(ERROR_NOT_ENOUGH_MEMORY);
  } catch (const std::exception&) {
    return VxNAFail(ERROR_FUNCTION_FAILED);
  }
}

void CVxAVScannerXMLConfig::onUnlistedProcess(int /*pid*/) {
  if (sourceCallback_) sourceCallback_->OnUnlistedSource();
}

bool CVxAVScannerXMLConfig::onProcessModule(const std::wstring& moduleName, const std::wstring& contentPath,
                                            const VxScanObjectIdentity& identity) {
  if (!sourceCallback_) return false;
  std::shared_ptr<CVxAVScanObject> object;
  try {
    object = std::make_shared<CVxAVScanObject>();
  } catch (const std::bad_alloc&) {
    return false;
  }
  object->setObjectType(VX_SCAN_OBJECT_FILE);
  object->setPath(moduleName);
  if (contentPath != moduleName) object->setContentPath(contentPath);
  object->setIdentity(identity);
  return sourceCallback_->OnScanSource(std::move(object));
}
