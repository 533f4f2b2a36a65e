#include "documents/VxAVScanResultXML.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <string>
#include <utility>
#include <vector>

#include "XmlLint.h"
#include "foundation/VxErrorCodes.h"
#include "foundation/VxNATypeConversion.h"

namespace {

using Attributes = std::vector<std::pair<std::string, std::string>>;

std::shared_ptr<CVxScanObjectResult> record(const std::string& name) {
  auto r = std::make_shared<CVxScanObjectResult>();
  r->itemName = name;
  return r;
}

std::shared_ptr<CVxScanObjectResult> infected(const std::string& name) {
  auto r = record(name);
  r->IsScanned = 1;
  r->IsInfected = 1;
  r->itemType = 3;
  r->itemSize = 4000000000u;
  r->detect_type = 2;
  r->virus_type = 1;
  r->virus_name = "EICAR-Test";
  r->isRepairable = 1;
  r->ObjectSummary = 65535;
  r->ScanError = 7;
  return r;
}

std::wstring completeReport(const VxScanObjectResultSet& records) {
  auto report = CVxAVScanResultXML::create();
  EXPECT_TRUE(report->setResults(records));
  std::wstring xml;
  EXPECT_TRUE(report->getXML(xml, true));
  return xml;
}

std::wstring detectionsReport(const VxScanObjectResultSet& records) {
  auto report = CVxAVScanResultXML::create();
  EXPECT_TRUE(report->setResults(records));
  std::wstring xml;
  EXPECT_TRUE(report->getXML(xml, false));
  return xml;
}

struct TextWriter final : pugi::xml_writer {
  std::string text;
  void write(const void* data, std::size_t size) override { text.append(static_cast<const char*>(data), size); }
};

// The items of a report, read back in document order. The report's text is
// also exactly what pugixml writes for the document it reads, escapes included.
std::vector<Attributes> items(const std::wstring& xml) {
  pugi::xml_document document;
  const std::string utf8 = VxNATypeConversion::wideBufferToAnsiString(xml);
  EXPECT_TRUE(document.load_buffer(utf8.data(), utf8.size(), pugi::parse_default | pugi::parse_declaration,
                                   pugi::encoding_utf8));
  TextWriter rewritten;
  document.save(rewritten, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
  EXPECT_EQ(rewritten.text, utf8);
  const pugi::xml_node root = document.child("ScanResults");
  EXPECT_STREQ(root.attribute("version").value(), "1.0");
  std::vector<Attributes> out;
  for (const pugi::xml_node& item : root.children()) {
    EXPECT_STREQ(item.name(), "scannedItem");
    Attributes attributes;
    for (const pugi::xml_attribute& a : item.attributes()) attributes.emplace_back(a.name(), a.value());
    out.push_back(std::move(attributes));
  }
  return out;
}

std::vector<std::string> names(const Attributes& attributes) {
  std::vector<std::string> out;
  for (const auto& [name, value] : attributes) out.push_back(name);
  return out;
}

std::string xmllintString(const std::wstring& xml, const std::string& expression) {
  vxtest::XmlLintRun run = vxtest::xmllintXPath(xml, "string(" + expression + ")");
  EXPECT_EQ(run.status, 0) << expression;
  if (!run.output.empty() && run.output.back() == '\n') run.output.pop_back();
  return run.output;
}

// Every report a test makes is read back by xmllint: it must be well-formed and
// xmllint must see the same items with the same attribute values.
void expectSameForXmllint(const std::wstring& xml) {
  if (!vxtest::xmllintAvailable()) return;
  const vxtest::XmlLintRun check = vxtest::xmllintCheck(xml);
  EXPECT_EQ(check.status, 0) << check.output;
  const std::vector<Attributes> expected = items(xml);
  EXPECT_EQ(xmllintString(xml, "count(/ScanResults/scannedItem)"), std::to_string(expected.size()));
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const std::string item = "/ScanResults/scannedItem[" + std::to_string(i + 1) + "]";
    EXPECT_EQ(xmllintString(xml, "count(" + item + "/@*)"), std::to_string(expected[i].size()));
    for (const auto& [name, value] : expected[i]) EXPECT_EQ(xmllintString(xml, item + "/@" + name), value) << name;
  }
}

const std::vector<std::string> kAlways = {"itemType", "itemSize", "itemName", "IsScanned"};

struct PresenceCase {
  const char* name;
  std::shared_ptr<CVxScanObjectResult> record;
  std::vector<std::string> attributes;
  bool detected;
};

std::vector<PresenceCase> presenceCases() {
  auto neverScanned = record("/a");
  auto neverScannedInfected = record("/a");
  neverScannedInfected->IsInfected = 1;
  auto clean = record("/a");
  clean->IsScanned = 1;
  auto notAttempted = infected("/a");
  auto repaired = infected("/a");
  repaired->IsRepairAttempted = 1;
  repaired->IsRepaired = 1;
  auto hashNotTaken = record("/a");
  hashNotTaken->ObjectHash = "00ff";
  auto hashed = record("/a");
  hashed->ObjectHashType = 2;
  hashed->ObjectHash = "d41d8cd98f00b204e9800998ecf8427e";
  const std::vector<std::string> detection = {"IsInfected",   "detect_type",  "virus_type",
                                              "virus_name",   "isRepairable", "IsRepairAttempted"};
  auto join = [](std::vector<std::vector<std::string>> parts) {
    std::vector<std::string> out;
    for (auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
  };
  const std::vector<std::string> tail = {"ObjectSummary", "ScanError"};
  return {
      {"never scanned", neverScanned, join({kAlways, tail}), false},
      {"never scanned but flagged", neverScannedInfected, join({kAlways, tail}), false},
      {"clean", clean, join({kAlways, {"IsInfected"}, tail}), false},
      {"infected, no repair attempt", notAttempted, join({kAlways, detection, tail}), true},
      {"repaired", repaired,
       join({kAlways, detection, {"IsRepaired", "action_taken", "nesting_deleted", "PassCount"}, tail}), true},
      {"hash not taken", hashNotTaken, join({kAlways, tail}), false},
      {"hashed", hashed, join({kAlways, tail, {"ObjectHashType", "ObjectHash"}}), false},
  };
}

TEST(VxAVScanResultXMLTest, AttributesAppearInOrderUnderTheirConditions) {
  for (const PresenceCase& c : presenceCases()) {
    SCOPED_TRACE(c.name);
    const std::wstring xml = completeReport({c.record});
    const std::vector<Attributes> all = items(xml);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(names(all[0]), c.attributes);
    EXPECT_EQ(items(detectionsReport({c.record})).size(), c.detected ? 1u : 0u);
    expectSameForXmllint(xml);
  }
}

TEST(VxAVScanResultXMLTest, NumbersAreUnsignedDecimal) {
  auto r = infected("/bin/x");
  r->IsRepairAttempted = 1;
  r->action_taken = 65535;
  r->PassCount = 4294967295u;
  r->ObjectHashType = 0;
  r->ObjectHash = "abc";
  const std::wstring xml = completeReport({r});
  const Attributes expected = {
      {"itemType", "3"},          {"itemSize", "4000000000"},  {"itemName", "/bin/x"},   {"IsScanned", "1"},
      {"IsInfected", "1"},        {"detect_type", "2"},        {"virus_type", "1"},      {"virus_name", "EICAR-Test"},
      {"isRepairable", "1"},      {"IsRepairAttempted", "1"},  {"IsRepaired", "0"},      {"action_taken", "65535"},
      {"nesting_deleted", "0"},   {"PassCount", "4294967295"}, {"ObjectSummary", "65535"}, {"ScanError", "7"},
      {"ObjectHashType", "0"},    {"ObjectHash", "abc"}};
  EXPECT_EQ(items(xml), std::vector<Attributes>{expected});
  expectSameForXmllint(xml);
}

TEST(VxAVScanResultXMLTest, EmptySetGivesTheBareRootInBothReports) {
  const std::wstring xml = completeReport({});
  EXPECT_EQ(xml, L"<?xml version=\"1.0\" encoding=\"utf-16\"?><ScanResults version=\"1.0\"/>");
  EXPECT_EQ(detectionsReport({}), xml);
  expectSameForXmllint(xml);
}

// What the object limit left out is part of the report, in both forms, and the
// size of a file past 4 GiB is its own.
TEST(VxAVScanResultXMLTest, ObjectsNotQueuedAndLargeSizesReachBothReports) {
  auto big = infected("/big");
  big->itemSize = 5368709121ull;
  auto report = CVxAVScanResultXML::create();
  report->setObjectsNotQueued(66000);
  ASSERT_TRUE(report->setResults({big}));
  std::wstring complete;
  ASSERT_TRUE(report->getXML(complete, true));
  EXPECT_EQ(complete.rfind(L"<?xml version=\"1.0\" encoding=\"utf-16\"?><ScanResults version=\"1.0\" "
                           L"objectsNotQueued=\"66000\"><scannedItem itemType=\"3\" itemSize=\"5368709121\"",
                           0),
            0u)
      << std::string(complete.begin(), complete.end());
  std::wstring detections;
  ASSERT_TRUE(report->getXML(detections, false));
  EXPECT_NE(detections.find(L"objectsNotQueued=\"66000\""), std::wstring::npos);
  expectSameForXmllint(complete);
}

TEST(VxAVScanResultXMLTest, ItemsAreOrderedByNameAndDetectionsKeepOnlyInfectedScannedOnes) {
  auto clean = record("/b");
  clean->IsScanned = 1;
  VxScanObjectResultSet records{infected("/d"), record("/c"), clean, infected("/a"), nullptr};
  const std::wstring complete = completeReport(records);
  std::vector<std::string> order;
  for (const Attributes& item : items(complete)) order.push_back(item[2].second);
  EXPECT_EQ(order, (std::vector<std::string>{"/a", "/b", "/c", "/d"}));
  EXPECT_EQ(completeReport(records), complete);

  const std::wstring detections = detectionsReport(records);
  std::vector<std::string> detected;
  for (const Attributes& item : items(detections)) detected.push_back(item[2].second);
  EXPECT_EQ(detected, (std::vector<std::string>{"/a", "/d"}));
  EXPECT_EQ(detections.rfind(L"<?xml version=\"1.0\" encoding=\"utf-16\"?>", 0), 0u);
  expectSameForXmllint(complete);
  expectSameForXmllint(detections);
}

struct NameCase {
  const char* name;
  std::string itemName;
  std::string readBack;  // UTF-8
};

TEST(VxAVScanResultXMLTest, NamesAreEscapedAndReadBackByAnyParser) {
  const std::string replacement = "\xEF\xBF\xBD";
  const std::vector<NameCase> cases = {
      {"markup", "/t/a\"b'c<d>e&f&amp;", "/t/a\"b'c<d>e&f&amp;"},
      {"non-ASCII", "/t/caf\xC3\xA9/\xE4\xB8\xAD/\xF0\x9D\x84\x9E", "/t/caf\xC3\xA9/\xE4\xB8\xAD/\xF0\x9D\x84\x9E"},
      {"undecodable bytes", "/t/\xFF\xC3(", "/t/" + replacement + replacement + "("},
      {"control characters", "/t/a\x01" "b\x1F", "/t/a" + replacement + "b" + replacement},
      {"tab, line feed, carriage return", "/t/a\tb\nc\rd", "/t/a\tb\nc\rd"},
      {"encoded surrogate", "/t/\xED\xA0\x80", "/t/" + replacement + replacement + replacement},
      {"noncharacter", "/t/\xEF\xBF\xBF", "/t/" + replacement},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = infected(c.itemName);
    r->virus_name = c.itemName;
    const std::wstring xml = completeReport({r});
    const std::vector<Attributes> all = items(xml);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0][2].second, c.readBack);
    EXPECT_EQ(all[0][7].second, c.readBack);
    expectSameForXmllint(xml);
    expectSameForXmllint(detectionsReport({r}));
  }
}

// The other tests read their reports back with xmllint when it is installed;
// this one says so when it is not.
TEST(VxAVScanResultXMLTest, XmllintReadsAMixedReport) {
  if (!vxtest::xmllintAvailable()) GTEST_SKIP() << "xmllint (libxml2-utils) is not installed";
  auto clean = record("/b \xC3\xA9\x02");
  clean->IsScanned = 1;
  const VxScanObjectResultSet records{infected("/a&<\"'>"), clean, record("/c")};
  const std::wstring xml = completeReport(records);
  EXPECT_EQ(xmllintString(xml, "/ScanResults/scannedItem[1]/@itemName"), "/a&<\"'>");
  EXPECT_EQ(xmllintString(xml, "/ScanResults/scannedItem[2]/@itemName"), "/b \xC3\xA9\xEF\xBF\xBD");
  expectSameForXmllint(xml);
  expectSameForXmllint(detectionsReport(records));
}

TEST(VxAVScanResultXMLTest, ReportsBeforeAnyResults) {
  auto report = CVxAVScanResultXML::create();
  std::wstring xml = L"stale";
  EXPECT_TRUE(report->getXML(xml, true));
  EXPECT_EQ(xml, L"");
  xml = L"stale";
  EXPECT_EQ(report->getXML(xml, false).error, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(xml, L"");
}

TEST(VxAVScanResultXMLTest, NewResultsReplaceTheReport) {
  auto report = CVxAVScanResultXML::create();
  ASSERT_TRUE(report->setResults({infected("/first")}));
  ASSERT_TRUE(report->setResults({record("/second")}));
  std::wstring xml;
  report->getXML(xml, true);
  ASSERT_EQ(items(xml).size(), 1u);
  EXPECT_EQ(items(xml)[0][2].second, "/second");
}

// Taking a report gives the text getXML gives; a taken complete report is gone.
TEST(VxAVScanResultXMLTest, TakenReportIsTheSameTextHandedOver) {
  const VxScanObjectResultSet records{infected("/a"), record("/b")};
  for (const bool complete : {true, false}) {
    SCOPED_TRACE(complete ? "complete" : "detections");
    auto report = CVxAVScanResultXML::create();
    ASSERT_TRUE(report->setResults(records));
    std::wstring copied;
    ASSERT_TRUE(report->getXML(copied, complete));
    std::wstring taken;
    ASSERT_TRUE(report->takeXML(taken, complete));
    EXPECT_EQ(taken, copied);
    std::wstring after;
    EXPECT_EQ(report->getXML(after, true).ok, true);
    EXPECT_EQ(after.empty(), complete);
  }
}

TEST(VxAVScanResultXMLTest, DetectionsFilterRefusesWhatItCannotLoad) {
  const std::vector<std::wstring> bad = {
      L"", L"<ScanResults", L"<!DOCTYPE ScanResults><ScanResults/>", L"<ScanResults/><ScanResults/>",
      L"<ScanResults a=\"\x01\"/>", L"<ScanResults a=\"\xDC80\"/>",
      // Written back, the declaration would end at its value's "?>".
      L"<?xml version=\"1.0?&gt;\"?><ScanResults/>"};
  for (const std::wstring& text : bad) {
    SCOPED_TRACE(VxNATypeConversion::wideBufferToAnsiString(text));
    EXPECT_EQ(CVxAVScanResultXML::filterDetections(text).error, ERROR_INVALID_PARAMETER);
  }
  const VxNAResult<std::wstring> other =
      CVxAVScanResultXML::filterDetections(L"<ScanResults><scannedItem IsScanned=\"1\" IsInfected=\"0\"/><x/></ScanResults>");
  ASSERT_TRUE(other);
  EXPECT_EQ(other.value, L"<ScanResults><x/></ScanResults>");
}

}  // namespace
