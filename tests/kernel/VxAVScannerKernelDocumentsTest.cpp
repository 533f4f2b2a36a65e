// The kernel with its real configuration reader and result document: the host's
// text decides what is scanned, and the report comes back as XML.
#include "documents/VxAVScanResultXML.h"
#include "documents/VxAVScannerXMLConfig.h"
#include "tests/kernel/KernelFixture.h"

namespace vxtest {
namespace {

class KernelDocumentsTest : public KernelTest {
 protected:
  void SetUp() override {
    auto factories = doubles.factories();
    const auto defaults = CVxAVScannerKernelFactories::defaults();
    factories.createXMLConfig = defaults.createXMLConfig;
    factories.createScanResultXML = defaults.createScanResultXML;
    kernel = CVxAVScannerKernel::GetInstance(factories).value;
  }
};

std::size_t countOf(const std::wstring& text, const std::wstring& part) {
  std::size_t count = 0;
  for (auto at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST_F(KernelDocumentsTest, ScansAsManyProcessModulesAsTheConfigurationAllows) {
  ASSERT_TRUE(kernel
                  ->Init(client, LR"(<scanconfig><maxscancount value="3"/>)"
                                 LR"(<scantype><item type="virus"/></scantype>)"
                                 LR"(<source><item type="processes"/></source></scanconfig>)")
                  .ok);
  ASSERT_TRUE(kernel->Scan(false).ok);
  ASSERT_TRUE(client->waitTerminals(1));
  EXPECT_EQ(client->terminals()[0], completed(AV_OPERATION_RESULT_COMPLETED));
  EXPECT_EQ(client->progressCalls().size(), 3u);

  const auto report = kernel->GetReport(true);
  ASSERT_TRUE(report.ok);
  EXPECT_TRUE(report.value.starts_with(LR"(<?xml version="1.0" encoding="utf-16"?>)"));
  EXPECT_EQ(countOf(report.value, L"<scannedItem "), 3u);
  for (const auto& p : client->progressCalls()) {
    EXPECT_NE(report.value.find(L"itemName=\"" + p.name + L"\""), std::wstring::npos) << p.name;
  }
}

TEST_F(KernelDocumentsTest, InitRefusesAConfigurationItCannotRead) {
  const std::vector<std::pair<std::wstring, std::uint32_t>> cases = {
      {L"<scanconfig>", ERROR_INVALID_PARAMETER},
      {L"<scanconfig/>", ERROR_INVALID_DATA},
      {LR"(<scanconfig><maxscancount value="5"/><scantype><item type="Virus"/></scantype></scanconfig>)",
       VX_E_TYPE_NOT_RECOGNIZED},
  };
  for (const auto& [text, code] : cases) {
    EXPECT_EQ(kernel->Init(client, text).error, code) << std::string(text.begin(), text.end());
  }
}

}  // namespace
}  // namespace vxtest
