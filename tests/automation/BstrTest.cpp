#include "platform/automation/Bstr.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/automation/UniqueBstr.h"

namespace {

using platform::automation::UniqueBstr;

TEST(BstrTest, KeepsEmbeddedNulsAndTerminates) {
  const std::wstring text(L"ab\0cd", 5);
  BSTR b = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 5u);
  EXPECT_EQ(SysStringByteLen(b), 5u * sizeof(OLECHAR));
  EXPECT_EQ(std::wstring(b, SysStringLen(b)), text);
  EXPECT_EQ(b[5], L'\0');
  SysFreeString(b);
}

TEST(BstrTest, SysAllocStringStopsAtTheFirstNul) {
  BSTR b = SysAllocString(L"ab\0cd");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(SysStringLen(b), 2u);
  SysFreeString(b);
}

TEST(BstrTest, NullAndEmptyAndZeroFilled) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
  BSTR empty = SysAllocString(L"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);
  BSTR zeroed = SysAllocStringLen(nullptr, 3);
  ASSERT_NE(zeroed, nullptr);
  EXPECT_EQ(std::wstring(zeroed, 3), std::wstring(3, L'\0'));
  SysFreeString(zeroed);
}

TEST(BstrTest, ImpossibleLengthFailsInsteadOfOverflowing) {
  EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(SysAllocStringLen(nullptr, 0x40000000u), nullptr);
}

TEST(BstrTest, OwnerFreesAndHandsOver) {
  UniqueBstr owner(std::wstring_view(L"x\0y", 3));
  ASSERT_TRUE(owner.copied());
  EXPECT_EQ(owner.view(), std::wstring_view(L"x\0y", 3));
  UniqueBstr moved(std::move(owner));
  EXPECT_FALSE(owner.copied());
  BSTR raw = moved.release();
  EXPECT_EQ(SysStringLen(raw), 3u);
  UniqueBstr adopted = UniqueBstr::attach(raw);
  EXPECT_EQ(adopted.length(), 3u);
  *adopted.put() = SysAllocString(L"new");
  EXPECT_EQ(adopted.view(), L"new");
}

}  // namespace
