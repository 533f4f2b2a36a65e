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
        ConfigurationCase{"EmptyScanType", LR"(<scanconfig><scantype/></scanconfig>)", true},
        ConfigurationCase{"OnlyCleanTypes", LR"(<scanconfig><cleantype><item type="virus"/></cleantype></scanconfig>)",
                          true},
        ConfigurationCase{"ItemElsewhere", LR"(<scanconfig><other><scantype><item/></scantype></other></scanconfig>)",
                          true},
        // Left to the object, which names what is wrong.
        ConfigurationCase{"Malformed", LR"(<scanconfig>)", false},
        ConfigurationCase{"OtherRoot", LR"(<config/>)", false},
        ConfigurationCase{"UnknownKeyword", LR"(<scanconfig><scantype><item type="VIRUS"/></scantype></scanconfig>)",
                          false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
