#pragma once
// CVxAVScannerXMLConfig: the reader of the host's scan configuration, the only
// place that knows the document's vocabulary. setConfiguration reads the scan
// limits and detection categories at once; UnwrapScanSources walks the
// configured sources later and offers each object they yield to the kernel.
//
//   <scanconfig>
//     <maxscancount value="2000"/>   required; 0 counts as 1, capped at 16777216
//     <collecthash value="1"/>       optional; non-zero asks for file hashes
//     <scantype><item type="virus"/>...</scantype>   detection keywords
//     <cleantype><item type="pup"/>...</cleantype>
//     <source><item type="processes"/></source>
//   </scanconfig>
//
// Always owned through a shared reference (create()); it keeps a weak reference
// to itself to hand its IVxNAPSAPIUtil_Callback face to the enumeration. create()
// gives null only when memory runs out.
//
// Thread-safety: none of its own. The owner (the kernel thread) calls it from one
// thread at a time; onProcessModule runs inside UnwrapScanSources on that thread.
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include <pugixml.hpp>

#include "documents/IVxAVScannerXMLConfig.h"
#include "documents/IVxNAPSAPIUtil_Callback.h"

class CVxAVScannerXMLConfig : public IVxAVScannerXMLConfig, public IVxNAPSAPIUtil_Callback {
 public:
  static constexpr std::uint32_t kDefaultMaxScanCount = 2000;
  // A machine maps far fewer modules; the cap only bounds what one scan may hold.
  static constexpr std::uint32_t kMaxScanCountLimit = 16777216;

  static std::shared_ptr<CVxAVScannerXMLConfig> create();

  // Fails with 87 for an empty or unreadable text, 13 without a maximum scan
  // count, 0x42032B15 for an unknown detection keyword. Settings read before a
  // failure stay; the sets are added to, never emptied; the text is kept only
  // when everything was read.
  VxNAResult<> setConfiguration(const std::wstring& text) override;
  VxNAResult<std::uint32_t> getMaxScanCount() override;
  VxNAResult<> getScanTypes(std::set<std::uint32_t>& types) override;
  VxNAResult<> getCleanTypes(std::set<std::uint32_t>& types) override;
  // Fails with 87 for a null callback, 13 before a successful setConfiguration,
  // 1246 when the callback asked to stop, 87 / 0x42032B11 for a folder macro
  // source (empty / any), 0x42032B15 for an unknown source type. The first error
  // ends the walk.
  VxNAResult<> UnwrapScanSources(std::shared_ptr<IVxAVScannerXMLConfig_Callback> callback) override;
  VxNAResult<bool> getCollectHash() override;

  // What a reader would refuse in `text`, found without walking anything: the
  // failure of setConfiguration, else the first source UnwrapScanSources would
  // fail on; success when both would take it.
  static VxNAResult<> checkConfiguration(const std::wstring& text);

  bool onProcessModule(const std::wstring& moduleName, const std::wstring& contentPath,
                       const VxScanObjectIdentity& identity) override;
  void onUnlistedProcess(int pid) override;

 protected:
  CVxAVScannerXMLConfig() = default;

 private:

  VxNAResult<> readConfiguration(const pugi::xml_document& document);
  VxNAResult<> readMaxScanCount(const pugi::xml_document& document);
  void readCollectHash(const pugi::xml_document& document);
  static VxNAResult<> readDetectionTypes(const pugi::xml_document& document, const char* xpath,
                                         std::set<std::uint32_t>& codes);
  VxNAResult<> walkSources(const pugi::xml_document& document);
  VxNAResult<> unwrapSource(const pugi::xml_node& item);
  // The failure unwrapSource gives for a source it cannot walk; success for one it walks.
  static VxNAResult<> checkSource(const pugi::xml_node& item);

  std::weak_ptr<CVxAVScannerXMLConfig> self_;
  std::wstring configuration_;
  std::uint32_t maxScanCount_ = kDefaultMaxScanCount;
  std::set<std::uint32_t> scanTypes_;
  std::set<std::uint32_t> cleanTypes_;
  std::shared_ptr<IVxAVScannerXMLConfig_Callback> sourceCallback_;
  bool collectHash_ = false;
};
