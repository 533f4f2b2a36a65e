// The report as the host reads it (counts, detections) and writes it (encodings).
#include "tools/ovrascan/ScanReport.h"

#include <gtest/gtest.h>

#include <iterator>
#include <ostream>
#include <string>
#include <string_view>

namespace {

constexpr wchar_t kReport[] =
    LR"(<?xml version="1.0" encoding="utf-16" ?><ScanResults version="1.0">)"
    LR"(<scannedItem itemType="1" itemSize="10" itemName="/a" IsScanned="1" IsInfected="0" ObjectSummary="0" ScanError="0"/>)"
    LR"(<scannedItem itemType="1" itemSize="10" itemName="/b" IsScanned="0" ObjectSummary="0" ScanError="5"/>)"
    LR"(<scannedItem itemType="1" itemSize="10" itemName="/c/é" IsScanned="1" IsInfected="1" detect_type="1" virus_type="6")"
    LR"( virus_name="Test.EICAR" isRepairable="1" IsRepairAttempted="1" IsRepaired="1" action_taken="1")"
    LR"( nesting_deleted="0" PassCount="1" ObjectSummary="0" ScanError="0"/>)"
    LR"(<scannedItem itemType="1" itemSize="10" itemName="/d" IsScanned="1" IsInfected="1" detect_type="1" virus_type="5")"
    LR"( virus_name="Qelda.Test.Pup" isRepairable="0" IsRepairAttempted="0" ObjectSummary="0" ScanError="0"/>)"
    LR"(<scannedItem itemType="1" itemSize="10" itemName="/e" IsScanned="1" IsInfected="0" ObjectSummary="0" ScanError="3"/>)"
    LR"(</ScanResults>)";

TEST(ScanReportTest, CountsTheItems) {
  ScanReport report;
  ASSERT_EQ(report.load(kReport), "");
  const auto counts = report.counts();
  EXPECT_EQ(counts.items, 5u);
  EXPECT_EQ(counts.scanned, 4u);
  EXPECT_EQ(counts.notScanned, 1u);
  EXPECT_EQ(counts.infected, 2u);
  EXPECT_EQ(counts.cleaned, 1u);
  EXPECT_EQ(counts.errors, 2u);
}

TEST(ScanReportTest, ListsTheDetections) {
  ScanReport report;
  ASSERT_EQ(report.load(kReport), "");
  const auto detections = report.detections();
  ASSERT_EQ(detections.size(), 2u);
  EXPECT_EQ(detections[0].name, "/c/\xC3\xA9");
  EXPECT_EQ(detections[0].virusName, "Test.EICAR");
  EXPECT_TRUE(detections[0].repaired);
  EXPECT_EQ(detections[1].name, "/d");
  EXPECT_FALSE(detections[1].repaired);
}

TEST(ScanReportTest, NotScannedIsNoErrorUnlessTheEngineSaidSo) {
  ScanReport report;
  ASSERT_EQ(report.load(LR"(<ScanResults version="1.0">)"
                        LR"(<scannedItem itemType="0" itemSize="9" itemName="/a" IsScanned="0" ObjectSummary="3" ScanError="0"/>)"
                        LR"(</ScanResults>)"),
            "");
  const auto counts = report.counts();
  EXPECT_EQ(counts.scanned, 0u);
  EXPECT_EQ(counts.notScanned, 1u);
  EXPECT_EQ(counts.errors, 0u);
}

TEST(ScanReportTest, JsonHoldsEveryItemWithNumbersAsNumbers) {
  ScanReport report;
  ASSERT_EQ(report.load(LR"(<ScanResults version="1.0">)"
                        LR"(<scannedItem itemType="1" itemSize="10" itemName="/a &quot;b&quot;" IsScanned="1" IsInfected="1")"
                        LR"( detect_type="1" virus_type="6" virus_name="007" isRepairable="0" IsRepairAttempted="0")"
                        LR"( ObjectSummary="1" ScanError="0" ObjectHashType="1" ObjectHash="0123"/>)"
                        LR"(<scannedItem itemType="1" itemSize="-1" itemName="/b" IsScanned="0" ObjectSummary="3" ScanError="0"/>)"
                        LR"(</ScanResults>)"),
            "");
  EXPECT_EQ(report.json(),
            "{\"version\": \"1.0\", \"items\": [\n"
            "  {\"itemType\": 1, \"itemSize\": 10, \"itemName\": \"/a \\\"b\\\"\", \"IsScanned\": 1, \"IsInfected\": 1, "
            "\"detect_type\": 1, \"virus_type\": 6, \"virus_name\": \"007\", \"isRepairable\": 0, "
            "\"IsRepairAttempted\": 0, \"ObjectSummary\": 1, \"ScanError\": 0, \"ObjectHashType\": 1, "
            "\"ObjectHash\": \"0123\"},\n"
            "  {\"itemType\": 1, \"itemSize\": \"-1\", \"itemName\": \"/b\", \"IsScanned\": 0, \"ObjectSummary\": 3, "
            "\"ScanError\": 0}\n"
            "]}\n");
  ScanReport empty;
  ASSERT_EQ(empty.load(LR"(<ScanResults version="1.0"/>)"), "");
  EXPECT_EQ(empty.json(), "{\"version\": \"1.0\", \"items\": []}\n");
}

// A scan that reached its object limit says how many objects it never looked
// at; sizes of 4 GiB and more stay numbers.
TEST(ScanReportTest, CarriesTheObjectsNotQueuedAndLargeSizes) {
  ScanReport report;
  ASSERT_EQ(report.load(LR"(<ScanResults version="1.0" objectsNotQueued="66000">)"
                        LR"(<scannedItem itemType="1" itemSize="5368709120" itemName="/a" IsScanned="0" ObjectSummary="3" ScanError="0"/>)"
                        LR"(</ScanResults>)"),
            "");
  EXPECT_EQ(report.objectsNotQueued(), 66000u);
  EXPECT_EQ(report.json(),
            "{\"version\": \"1.0\", \"objectsNotQueued\": 66000, \"items\": [\n"
            "  {\"itemType\": 1, \"itemSize\": 5368709120, \"itemName\": \"/a\", \"IsScanned\": 0, "
            "\"ObjectSummary\": 3, \"ScanError\": 0}\n"
            "]}\n");
  ScanReport complete;
  ASSERT_EQ(complete.load(kReport), "");
  EXPECT_EQ(complete.objectsNotQueued(), 0u);
}

TEST(ScanReportTest, RefusesWhatIsNoReport) {
  ScanReport report;
  EXPECT_NE(report.load(L"<ScanResults>"), "");
  EXPECT_NE(report.load(L"<Other/>"), "");
}

TEST(ScanReportTest, EmptyReportCountsNothing) {
  ScanReport report;
  ASSERT_EQ(report.load(LR"(<ScanResults version="1.0"/>)"), "");
  EXPECT_EQ(report.counts().items, 0u);
  EXPECT_TRUE(report.detections().empty());
}

struct EncodingCase {
  const char* name;
  ScanReport::Encoding encoding;
  std::string_view start;  // the first bytes of the file
};

void PrintTo(const EncodingCase& value, std::ostream* out) { *out << value.name; }

class ScanReportBytesTest : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(ScanReportBytesTest, DeclarationTellsTheFileEncoding) {
  for (const wchar_t* text : {kReport, LR"(<ScanResults version="1.0"/>)"}) {
    ScanReport report;
    ASSERT_EQ(report.load(text), "");
    const std::string bytes = report.bytes(GetParam().encoding);
    EXPECT_EQ(bytes.substr(0, GetParam().start.size()), GetParam().start);
    pugi::xml_document document;
    ASSERT_TRUE(document.load_buffer(bytes.data(), bytes.size(), pugi::parse_default | pugi::parse_declaration));
    ASSERT_EQ(document.first_child().type(), pugi::node_declaration);
    EXPECT_EQ(std::string(document.first_child().attribute("encoding").value()),
              GetParam().encoding == ScanReport::Encoding::Utf16 ? "UTF-16" : "UTF-8");
    const auto items = document.child("ScanResults").children("scannedItem");
    EXPECT_EQ(static_cast<std::uint32_t>(std::distance(items.begin(), items.end())), report.counts().items);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Encodings, ScanReportBytesTest,
    ::testing::Values(EncodingCase{"Utf8", ScanReport::Encoding::Utf8, R"(<?xml version="1.0" encoding="UTF-8"?>)"},
                      EncodingCase{"Utf16", ScanReport::Encoding::Utf16,
                                   std::string_view("\xFF\xFE<\0?\0x\0m\0l\0 \0v\0", 16)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ScanReportTest, NonAsciiNamesSurviveInBothEncodings) {
  ScanReport report;
  ASSERT_EQ(report.load(kReport), "");
  for (auto encoding : {ScanReport::Encoding::Utf8, ScanReport::Encoding::Utf16}) {
    const std::string bytes = report.bytes(encoding);
    pugi::xml_document document;
    ASSERT_TRUE(document.load_buffer(bytes.data(), bytes.size()));
    EXPECT_TRUE(document.child("ScanResults").find_child_by_attribute("scannedItem", "itemName", "/c/\xC3\xA9"));
  }
}

struct FileNameCase {
  const char* fileName;
  ScanReport::Encoding expected;
};

void PrintTo(const FileNameCase& value, std::ostream* out) { *out << value.fileName; }

class ScanReportFileNameTest : public ::testing::TestWithParam<FileNameCase> {};

TEST_P(ScanReportFileNameTest, Utf16OnlyForItsSuffix) {
  EXPECT_EQ(ScanReport::encodingFor(GetParam().fileName), GetParam().expected) << GetParam().fileName;
}

INSTANTIATE_TEST_SUITE_P(Names, ScanReportFileNameTest,
                         ::testing::Values(FileNameCase{"report.xml", ScanReport::Encoding::Utf8},
                                           FileNameCase{"report.utf16.xml", ScanReport::Encoding::Utf16},
                                           FileNameCase{"/tmp/a.utf16.xml", ScanReport::Encoding::Utf16},
                                           FileNameCase{".utf16.xml", ScanReport::Encoding::Utf16},
                                           FileNameCase{"report.utf16.xml.bak", ScanReport::Encoding::Utf8},
                                           FileNameCase{"report.UTF16.XML", ScanReport::Encoding::Utf8},
                                           FileNameCase{"utf16.xml", ScanReport::Encoding::Utf8}));

}  // namespace
