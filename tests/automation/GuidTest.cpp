#include "platform/automation/Guid.h"

#include <gtest/gtest.h>

#include "platform/automation/ClassFactory.h"
#include "platform/automation/Dispatch.h"
#include "platform/automation/Unknown.h"

namespace {

using platform::automation::formatGuid;
using platform::automation::parseGuid;

TEST(GuidTest, StandardIdentitiesPrintAsWindowsShowsThem) {
  EXPECT_EQ(formatGuid(IID_IUnknown), L"{00000000-0000-0000-C000-000000000046}");
  EXPECT_EQ(formatGuid(IID_IDispatch), L"{00020400-0000-0000-C000-000000000046}");
  EXPECT_EQ(formatGuid(IID_IClassFactory), L"{00000001-0000-0000-C000-000000000046}");
}

TEST(GuidTest, ParsesEitherCaseAndRoundTrips) {
  const GUID expected{0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
  for (const wchar_t* text : {L"{12345678-9abc-def0-0123-456789abcdef}", L"{12345678-9ABC-DEF0-0123-456789ABCDEF}"}) {
    auto parsed = parseGuid(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    EXPECT_TRUE(IsEqualGUID(*parsed, expected));
    EXPECT_EQ(formatGuid(*parsed), L"{12345678-9ABC-DEF0-0123-456789ABCDEF}");
  }
}

TEST(GuidTest, RejectsMalformedText) {
  for (const wchar_t* text : {L"", L"{}", L"12345678-9abc-def0-0123-456789abcdef",
                              L"{12345678-9abc-def0-0123-456789abcdef", L"{12345678-9abc-def0-0123-456789abcdeff}",
                              L"{12345678-9abc-def0-0123-456789abcde}", L"{12345678_9abc-def0-0123-456789abcdef}",
                              L"{1234567-89abc-def0-0123-456789abcdef}", L"{12345678-9abc-def0-0123-456789abcdeg}",
                              L"{ 2345678-9abc-def0-0123-456789abcdef}", L"(12345678-9abc-def0-0123-456789abcdef)"}) {
    EXPECT_FALSE(parseGuid(text).has_value()) << text;
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromString(text, &clsid), E_INVALIDARG) << text;
  }
  EXPECT_EQ(CLSIDFromString(nullptr, nullptr), E_INVALIDARG);
}

TEST(GuidTest, SdkFunctionsWriteAndReadTheBracedForm) {
  wchar_t buffer[39];
  EXPECT_EQ(StringFromGUID2(IID_IDispatch, buffer, 38), 0);  // no room for the NUL
  ASSERT_EQ(StringFromGUID2(IID_IDispatch, buffer, 39), 39);
  IID iid{};
  ASSERT_EQ(IIDFromString(buffer, &iid), S_OK);
  EXPECT_TRUE(IsEqualIID(iid, IID_IDispatch));
  EXPECT_FALSE(IsEqualIID(iid, IID_IUnknown));
}

}  // namespace
