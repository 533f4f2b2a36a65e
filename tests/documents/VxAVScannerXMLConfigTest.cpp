#include "documents/VxAVScannerXMLConfig.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxAVScanObject.h"

namespace {

using Codes = std::set<std::uint32_t>;

std::wstring withMaxScanCount(const std::wstring& body, const std::wstring& count = L"100") {
  return L"<scanconfig><maxscancount value=\"" + count + L"\"/>" + body + L"</scanconfig>";
}

class RecordingSourceCallback : public IVxAVScannerXMLConfig_Callback {
 public:
  explicit RecordingSourceCallback(std::size_t stopAfter = SIZE_MAX) : stopAfter_(stopAfter) {}
  bool OnScanSource(std::shared_ptr<CVxAVScanObject> object) override {
    types.push_back(object->getObjectType());
    paths.push_back(object->getPath());
    return paths.size() >= stopAfter_;
  }
  std::vector<std::uint32_t> types;
  std::vector<std::wstring> paths;

 private:
  std::size_t stopAfter_;
};

struct MaxScanCountCase {
  const wchar_t* value;
  std::uint32_t expected;
};

class MaxScanCountTest : public ::testing::TestWithParam<MaxScanCountCase> {};

TEST_P(MaxScanCountTest, ReadsLikeAtoiThenClampsToOneAndLimit) {
  auto reader = CVxAVScannerXMLConfig::create();
  ASSERT_TRUE(reader->setConfiguration(withMaxScanCount(L"", GetParam().value)));
  EXPECT_EQ(reader->getMaxScanCount().value, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, MaxScanCountTest,
                         ::testing::Values(MaxScanCountCase{L"0", 1}, MaxScanCountCase{L"abc", 1},
                                           MaxScanCountCase{L"1", 1}, MaxScanCountCase{L"65536", 65536},
                                           MaxScanCountCase{L"16777216", 16777216},
                                           MaxScanCountCase{L"16777217", 16777216}, MaxScanCountCase{L"-1", 16777216},
                                           MaxScanCountCase{L"  +42xyz", 42}, MaxScanCountCase{L"-0", 1},
                                           MaxScanCountCase{L"99999999999999999999", 16777216},
                                           MaxScanCountCase{L"-99999999999999999999", 16777216},
                                           MaxScanCountCase{L" ", 1}));

struct CollectHashCase {
  const wchar_t* element;
  bool expected;
};

class CollectHashTest : public ::testing::TestWithParam<CollectHashCase> {};

TEST_P(CollectHashTest, NonZeroNumberAsksForHashes) {
  auto reader = CVxAVScannerXMLConfig::create();
  ASSERT_TRUE(reader->setConfiguration(withMaxScanCount(GetParam().element)));
  EXPECT_EQ(reader->getCollectHash().value, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Values, CollectHashTest,
                         ::testing::Values(CollectHashCase{L"", false},
                                           CollectHashCase{L"<collecthash value=\"0\"/>", false},
                                           CollectHashCase{L"<collecthash value=\"1\"/>", true},
                                           CollectHashCase{L"<collecthash value=\"word\"/>", false},
                                           CollectHashCase{L"<collecthash/>", false},
                                           CollectHashCase{L"<collecthash value=\" -7\"/>", true}));

struct DetectionCase {
  const wchar_t* items;
  std::uint32_t error;
  Codes codes;
};

class DetectionTypesTest : public ::testing::TestWithParam<DetectionCase> {};

// "a,b" gives <item type="a"/><item type="b"/>; "#missing" an item without type.
std::wstring items(const std::wstring& list, const std::wstring& element) {
  std::wstring out = L"<" + element + L">";
  if (!list.empty()) {
    std::size_t begin = 0;
    for (;;) {
      const std::size_t comma = list.find(L',', begin);
      const std::wstring keyword = list.substr(begin, comma - begin);
      out += keyword == L"#missing" ? std::wstring(L"<item/>") : L"<item type=\"" + keyword + L"\"/>";
      if (comma == std::wstring::npos) break;
      begin = comma + 1;
    }
  }
  return out + L"</" + element + L">";
}

TEST_P(DetectionTypesTest, ScanAndCleanTypesFollowTheTable) {
  for (const std::wstring element : {L"scantype", L"cleantype"}) {
    SCOPED_TRACE(element);
    auto reader = CVxAVScannerXMLConfig::create();
    const VxNAResult<> result = reader->setConfiguration(withMaxScanCount(items(GetParam().items, element)));
    EXPECT_EQ(result.error, GetParam().error);
    Codes scan{99}, clean{99};
    reader->getScanTypes(scan);
    reader->getCleanTypes(clean);
    EXPECT_EQ(element == L"scantype" ? scan : clean, GetParam().codes);
    EXPECT_EQ(element == L"scantype" ? clean : scan, Codes{});
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keywords, DetectionTypesTest,
    ::testing::Values(DetectionCase{L"", 0, {}}, DetectionCase{L"virus", 0, {0}}, DetectionCase{L"trojan", 0, {1}},
                      DetectionCase{L"pup", 0, {5, 10, 12, 13}}, DetectionCase{L"test", 0, {6}},
                      DetectionCase{L"virus,trojan,pup,test", 0, {0, 1, 5, 6, 10, 12, 13}},
                      DetectionCase{L"VIRUS", VX_E_TYPE_NOT_RECOGNIZED, {}},
                      DetectionCase{L"Pup", VX_E_TYPE_NOT_RECOGNIZED, {}},
                      DetectionCase{L"virus,worm,trojan", VX_E_TYPE_NOT_RECOGNIZED, {0}},
                      DetectionCase{L"test,,virus", VX_E_TYPE_NOT_RECOGNIZED, {6}},
                      DetectionCase{L"#missing", VX_E_TYPE_NOT_RECOGNIZED, {}},
                      DetectionCase{L" virus", VX_E_TYPE_NOT_RECOGNIZED, {}}));

TEST(VxAVScannerXMLConfigTest, FreshReaderHoldsDefaults) {
  auto reader = CVxAVScannerXMLConfig::create();
  EXPECT_EQ(reader->getMaxScanCount().value, 2000u);
  EXPECT_FALSE(reader->getCollectHash().value);
  Codes codes{1};
  EXPECT_TRUE(reader->getScanTypes(codes));
  EXPECT_TRUE(codes.empty());
}

TEST(VxAVScannerXMLConfigTest, MissingMaximumScanCountIsInvalidData) {
  for (const std::wstring text :
       {L"<config><maxscancount value=\"5\"/></config>", L"<scanconfig/>",
        L"<scanconfig><maxscancount/></scanconfig>", L"<scanconfig><maxscancount value=\"\"/></scanconfig>",
        L"<scanconfig><MaxScanCount value=\"5\"/></scanconfig>",
        L"<scanconfig><maxscancount Value=\"5\"/></scanconfig>", L"<x><scanconfig><maxscancount value=\"5\"/></scanconfig></x>"}) {
    SCOPED_TRACE(text);
    auto reader = CVxAVScannerXMLConfig::create();
    EXPECT_EQ(reader->setConfiguration(text).error, ERROR_INVALID_DATA);
    EXPECT_EQ(reader->getMaxScanCount().value, 2000u);
    EXPECT_EQ(reader->UnwrapScanSources(std::make_shared<RecordingSourceCallback>()).error, ERROR_INVALID_DATA);
  }
}

TEST(VxAVScannerXMLConfigTest, SettingsReadBeforeAFailureStayAndSetsAccumulate) {
  auto reader = CVxAVScannerXMLConfig::create();
  ASSERT_TRUE(reader->setConfiguration(withMaxScanCount(items(L"virus", L"scantype"), L"7")));
  EXPECT_EQ(reader->setConfiguration(withMaxScanCount(items(L"test,nope", L"scantype"), L"9")).error,
            VX_E_TYPE_NOT_RECOGNIZED);
  EXPECT_EQ(reader->getMaxScanCount().value, 9u);
  Codes codes;
  reader->getScanTypes(codes);
  EXPECT_EQ(codes, (Codes{0, 6}));
  // The failed text was not kept: sources still come from the first one, which has none.
  EXPECT_TRUE(reader->UnwrapScanSources(std::make_shared<RecordingSourceCallback>()));
}

std::wstring repeated(const std::wstring& part, std::size_t times) {
  std::wstring out;
  out.reserve(part.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += part;
  return out;
}

std::wstring withNul() {
  std::wstring text = L"<scanconfig><maxscancount value=\"5\"/>";
  text.push_back(L'\0');
  return text + L"</scanconfig>";
}

struct BadInputCase {
  const char* name;
  std::wstring text;
};

std::vector<BadInputCase> badInputs() {
  const std::wstring valid = withMaxScanCount(L"");
  return {
      {"empty", L""},
      {"not xml", L"maxscancount=5"},
      {"unclosed", L"<scanconfig><maxscancount value=\"5\"/>"},
      {"mismatched", L"<scanconfig><maxscancount value=\"5\"/></scanconfigx>"},
      {"unquoted attribute", L"<scanconfig><maxscancount value=5/></scanconfig>"},
      {"duplicate attribute", L"<scanconfig><maxscancount value=\"5\" value=\"6\"/></scanconfig>"},
      {"two roots", valid + L"<scanconfig/>"},
      {"text after root", valid + L"junk"},
      {"doctype", L"<!DOCTYPE scanconfig>" + valid},
      {"internal entity", L"<!DOCTYPE scanconfig [<!ENTITY n \"5\">]><scanconfig><maxscancount value=\"&n;\"/></scanconfig>"},
      {"external entity",
       L"<!DOCTYPE scanconfig [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><scanconfig><maxscancount "
       L"value=\"5\">&x;</maxscancount></scanconfig>"},
      {"entity expansion bomb",
       L"<!DOCTYPE s [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]><s>&b;</s>"},
      {"control character", L"<scanconfig><maxscancount value=\"5\x01\"/></scanconfig>"},
      {"escaped undecodable byte", L"<scanconfig><maxscancount value=\"5\xDCFF\"/></scanconfig>"},
      {"lone surrogate", L"<scanconfig><maxscancount value=\"\xD800\"/></scanconfig>"},
      {"noncharacter", L"<scanconfig><maxscancount value=\"\xFFFF\"/></scanconfig>"},
      {"beyond unicode", std::wstring(L"<scanconfig><maxscancount value=\"") + static_cast<wchar_t>(0x110000) +
                             L"\"/></scanconfig>"},
      {"nul", withNul()},
      {"too large", L"<scanconfig><maxscancount value=\"5\"/><!--" + repeated(L"x", 16u * 1024u * 1024u) +
                        L"--></scanconfig>"},
      {"too large in UTF-8", L"<scanconfig><maxscancount value=\"5\"/><!--" + repeated(L"\x4E2D", 6u * 1024u * 1024u) +
                                 L"--></scanconfig>"},
  };
}

TEST(VxAVScannerXMLConfigTest, BadInputIsInvalidParameterAndChangesNothing) {
  for (const BadInputCase& input : badInputs()) {
    SCOPED_TRACE(input.name);
    auto reader = CVxAVScannerXMLConfig::create();
    EXPECT_EQ(reader->setConfiguration(input.text).error, ERROR_INVALID_PARAMETER);
    EXPECT_EQ(reader->getMaxScanCount().value, 2000u);
    EXPECT_EQ(reader->UnwrapScanSources(std::make_shared<RecordingSourceCallback>()).error, ERROR_INVALID_DATA);
  }
}

TEST(VxAVScannerXMLConfigTest, ToleratedFormsAreRead) {
  for (const std::wstring text :
       {L"<?xml version=\"1.0\" encoding=\"utf-16\"?><scanconfig><maxscancount value=\"5\"/></scanconfig>",
        L"\xFEFF<scanconfig><maxscancount value=\"5\"/></scanconfig>",
        L"<!-- c --><scanconfig><?pi x?><maxscancount value=\"&#53;\"/><![CDATA[x]]></scanconfig>\n"}) {
    SCOPED_TRACE(text);
    auto reader = CVxAVScannerXMLConfig::create();
    EXPECT_TRUE(reader->setConfiguration(text));
    EXPECT_EQ(reader->getMaxScanCount().value, 5u);
  }
}

TEST(VxAVScannerXMLConfigTest, DeepNestingIsReadWithoutExhaustingTheStack) {
  const std::size_t depth = 1'000'000;
  const std::wstring text = L"<scanconfig><maxscancount value=\"5\"/>" + repeated(L"<a>", depth) +
                            repeated(L"</a>", depth) + L"</scanconfig>";
  auto reader = CVxAVScannerXMLConfig::create();
  EXPECT_TRUE(reader->setConfiguration(text));
  EXPECT_EQ(reader->getMaxScanCount().value, 5u);
  const std::wstring unbalanced = L"<scanconfig>" + repeated(L"<a>", depth);
  EXPECT_EQ(reader->setConfiguration(unbalanced).error, ERROR_INVALID_PARAMETER);
}

struct SourceCase {
  const char* name;
  std::wstring sources;
  std::uint32_t error;
};

TEST(VxAVScannerXMLConfigTest, SourceWalkEndsAtTheFirstError) {
  const std::vector<SourceCase> cases = {
      {"no sources", L"", 0},
      {"empty source list", L"<source/>", 0},
      {"folder macro", L"<source><item type=\"foldermacro\" value=\"%WINDIR%\"/></source>", VX_E_NOT_SUPPORTED},
      {"empty folder macro", L"<source><item type=\"foldermacro\" value=\"\"/></source>", ERROR_INVALID_PARAMETER},
      {"folder macro without value", L"<source><item type=\"foldermacro\"/></source>", ERROR_INVALID_PARAMETER},
      {"processes never reached",
       L"<source><item type=\"foldermacro\" value=\"x\"/><item type=\"processes\"/></source>", VX_E_NOT_SUPPORTED},
      {"unknown type", L"<source><item type=\"Processes\"/><item type=\"foldermacro\"/></source>",
       VX_E_TYPE_NOT_RECOGNIZED},
      {"missing type", L"<source><item/></source>", VX_E_TYPE_NOT_RECOGNIZED},
  };
  for (const SourceCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto reader = CVxAVScannerXMLConfig::create();
    ASSERT_TRUE(reader->setConfiguration(withMaxScanCount(c.sources)));
    auto callback = std::make_shared<RecordingSourceCallback>();
    EXPECT_EQ(reader->UnwrapScanSources(callback).error, c.error);
    EXPECT_TRUE(callback->paths.empty());
  }
}

TEST(VxAVScannerXMLConfigTest, UnwrapRefusesANullCallback) {
  auto reader = CVxAVScannerXMLConfig::create();
  ASSERT_TRUE(reader->setConfiguration(withMaxScanCount(L"")));
  EXPECT_EQ(reader->UnwrapScanSources(nullptr).error, ERROR_INVALID_PARAMETER);
}

TEST(VxAVScannerXMLConfigTest, ModuleOutsideAWalkGoesNowhere) {
  auto reader = CVxAVScannerXMLConfig::create();
  EXPECT_FALSE(reader->onProcessModule(L"/usr/lib/x.so", L"/usr/lib/x.so", {}));
}

TEST(VxAVScannerXMLConfigTest, ProcessesSourceOffersFileObjectsAndStopsOnRequest) {
  auto reader = CVxAVScannerXMLConfig::create();
  ASSERT_TRUE(reader->setConfiguration(withMaxScanCount(
      L"<source><item type=\"processes\"/><item type=\"foldermacro\" value=\"x\"/></source>")));
  auto all = std::make_shared<RecordingSourceCallback>();
  EXPECT_EQ(reader->UnwrapScanSources(all).error, VX_E_NOT_SUPPORTED);
  ASSERT_FALSE(all->paths.empty());  // at least this test program
  EXPECT_EQ(std::set<std::uint32_t>(all->types.begin(), all->types.end()), std::set<std::uint32_t>{0});
  EXPECT_EQ(std::set<std::wstring>(all->paths.begin(), all->paths.end()).size(), all->paths.size());

  auto first = std::make_shared<RecordingSourceCallback>(1);
  EXPECT_EQ(reader->UnwrapScanSources(first).error, ERROR_CONTINUE);
  ASSERT_EQ(first->paths.size(), 1u);
  EXPECT_EQ(first->paths[0], all->paths[0]);
  // The reader let go of the callback after the walk.
  EXPECT_EQ(first.use_count(), 1);
}

}  // namespace
