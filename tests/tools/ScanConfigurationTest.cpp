// Which configurations the host refuses before the object sees them.
#include "tools/ovrascan/ScanConfiguration.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct ConfigurationCase {
  const char* name;
  const wchar_t* text;
  bool refused;
};

void PrintTo(const ConfigurationCase& value, std::ostream* out) { *out << value.name; }

class ScanConfigurationTest : public ::testing::TestWithParam<ConfigurationCase> {};

TEST_P(ScanConfigurationTest, RefusesOnlyADocumentWithoutScanTypes) {
  EXPECT_EQ(ScanConfiguration::selectsNoScanType(GetParam().text), GetParam().refused);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScanConfigurationTest,
    ::testing::Values(
        ConfigurationCase{"OneScanType", LR"(<scanconfig><scantype><item type="virus"/></scantype></scanconfig>)", false},
        ConfigurationCase{"NoScanTypeElement", LR"(<scanconfig><maxscancount value="1"/></scanconfig>)", true},
        ConfigurationCase{"EmptyScanType", LR"(<scanconfig><maxscancount value="1"/><scantype/></scanconfig>)", true},
        ConfigurationCase{"OnlyCleanTypes",
                          LR"(<scanconfig><maxscancount value="1"/><cleantype><item type="virus"/></cleantype>)"
                          LR"(</scanconfig>)",
                          true},
        ConfigurationCase{"ItemElsewhere",
                          LR"(<scanconfig><maxscancount value="1"/><other><scantype><item/></scantype></other>)"
                          LR"(</scanconfig>)",
                          true},
        // Left to the object, which names what is wrong.
        ConfigurationCase{"Malformed", LR"(<scanconfig>)", false},
        ConfigurationCase{"OtherRoot", LR"(<config/>)", false},
        ConfigurationCase{"UnknownKeyword", LR"(<scanconfig><scantype><item type="VIRUS"/></scantype></scanconfig>)",
                          false},
        // No scan type, but the object refuses the document first.
        ConfigurationCase{"NoMaxScanCountAndNoScanType", LR"(<scanconfig><scantype/></scanconfig>)", false},
        ConfigurationCase{"UnknownSourceAndNoScanType",
                          LR"(<scanconfig><maxscancount value="1"/><source><item type="bogus"/></source>)"
                          LR"(</scanconfig>)",
                          false},
        ConfigurationCase{"UnknownCleanKeywordAndNoScanType",
                          LR"(<scanconfig><maxscancount value="1"/><cleantype><item type="x"/></cleantype>)"
                          LR"(</scanconfig>)",
                          false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
