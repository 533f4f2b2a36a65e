#include "platform/automation/Variant.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/automation/UniqueVariant.h"
#include "tests/automation/CountedObject.h"

namespace {

using platform::automation::UniqueVariant;

VARIANT i4(LONG v) {
  VARIANT r;
  VariantInit(&r);
  r.vt = VT_I4;
  r.lVal = v;
  return r;
}
VARIANT ui4(ULONG v) {
  VARIANT r;
  VariantInit(&r);
  r.vt = VT_UI4;
  r.ulVal = v;
  return r;
}
VARIANT boolean(VARIANT_BOOL v) {
  VARIANT r;
  VariantInit(&r);
  r.vt = VT_BOOL;
  r.boolVal = v;
  return r;
}
VARIANT empty() {
  VARIANT r;
  VariantInit(&r);
  return r;
}

// Owns a VT_BSTR built from a literal (embedded NULs kept).
struct Text {
  explicit Text(std::wstring_view text) {
    v->vt = VT_BSTR;
    v->bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  }
  UniqueVariant v;
};

TEST(VariantTest, CopyOfTextIsIndependentAndKeepsNuls) {
  Text source(std::wstring_view(L"a\0b", 3));
  UniqueVariant copy;
  ASSERT_EQ(VariantCopy(copy.get(), source.v.get()), S_OK);
  ASSERT_EQ(copy->vt, VT_BSTR);
  EXPECT_NE(copy->bstrVal, source.v->bstrVal);
  EXPECT_EQ(std::wstring(copy->bstrVal, SysStringLen(copy->bstrVal)), std::wstring(L"a\0b", 3));
}

TEST(VariantTest, InterfaceReferencesFollowCopyClearAndChangeType) {
  vxtest::CountedObject object;
  {
    UniqueVariant held;
    held->vt = VT_DISPATCH;
    held->pdispVal = &object;
    object.AddRef();
    UniqueVariant copy;
    ASSERT_EQ(VariantCopy(copy.get(), held.get()), S_OK);
    EXPECT_EQ(object.references(), 2u);
    // Copying over a value gives the old reference back first.
    ASSERT_EQ(VariantCopy(copy.get(), held.get()), S_OK);
    EXPECT_EQ(object.references(), 2u);
    UniqueVariant unknown;
    ASSERT_EQ(VariantChangeType(unknown.get(), held.get(), 0, VT_UNKNOWN), S_OK);
    EXPECT_EQ(unknown->vt, VT_UNKNOWN);
    EXPECT_EQ(object.references(), 3u);
    // In place: the old reference is dropped, the new one taken.
    ASSERT_EQ(VariantChangeType(unknown.get(), unknown.get(), 0, VT_DISPATCH), S_OK);
    EXPECT_EQ(unknown->vt, VT_DISPATCH);
    EXPECT_EQ(object.references(), 3u);
    ASSERT_EQ(VariantClear(copy.get()), S_OK);
    EXPECT_EQ(copy->vt, VT_EMPTY);
    EXPECT_EQ(object.references(), 2u);
  }
  EXPECT_EQ(object.references(), 0u);
}

TEST(VariantTest, ObjectWithoutDispatchIsNotConvertedToIt) {
  vxtest::CountedObject object(false);
  UniqueVariant held;
  held->vt = VT_UNKNOWN;
  held->punkVal = &object;
  object.AddRef();
  UniqueVariant target;
  EXPECT_EQ(VariantChangeType(target.get(), held.get(), 0, VT_DISPATCH), E_NOINTERFACE);
  EXPECT_EQ(target->vt, VT_EMPTY);
  held.put();
  EXPECT_EQ(object.references(), 0u);
}

TEST(VariantTest, UnsupportedTypesAreRefusedNotMisread) {
  VARIANT odd = empty();
  odd.vt = VT_I2;
  EXPECT_EQ(VariantClear(&odd), DISP_E_BADVARTYPE);
  UniqueVariant target;
  EXPECT_EQ(VariantCopy(target.get(), &odd), DISP_E_BADVARTYPE);
  VARIANT source = i4(1);
  EXPECT_EQ(VariantChangeType(target.get(), &source, 0, VT_I2), DISP_E_BADVARTYPE);
}

struct NumericCase {
  const char* name;
  VARIANT source;
  VARTYPE target;
  HRESULT expected;
  LONG value;  // lVal/ulVal/boolVal bits of the result when it succeeds
};

TEST(VariantTest, ChangeTypeBetweenNumbersAndBooleans) {
  const NumericCase cases[] = {
      {"I4 to UI4", i4(7), VT_UI4, S_OK, 7},
      {"negative I4 to UI4 overflows", i4(-1), VT_UI4, DISP_E_OVERFLOW, 0},
      {"large UI4 to I4 overflows", ui4(0x80000000u), VT_I4, DISP_E_OVERFLOW, 0},
      {"UI4 to UINT", ui4(0xFFFFFFFFu), VT_UINT, S_OK, -1},
      {"I4 to INT", i4(-5), VT_INT, S_OK, -5},
      {"non-zero to BOOL is VARIANT_TRUE", i4(2), VT_BOOL, S_OK, VARIANT_TRUE},
      {"zero to BOOL is VARIANT_FALSE", ui4(0), VT_BOOL, S_OK, VARIANT_FALSE},
      {"BOOL to BOOL is copied unchanged", boolean(1), VT_BOOL, S_OK, 1},
      {"VARIANT_TRUE to I4 is -1", boolean(VARIANT_TRUE), VT_I4, S_OK, -1},
      {"VARIANT_TRUE to UI4 overflows", boolean(VARIANT_TRUE), VT_UI4, DISP_E_OVERFLOW, 0},
      {"EMPTY to I4 is 0", empty(), VT_I4, S_OK, 0},
      {"EMPTY to BOOL is false", empty(), VT_BOOL, S_OK, VARIANT_FALSE},
      {"number to DISPATCH", i4(1), VT_DISPATCH, DISP_E_TYPEMISMATCH, 0},
      {"number to NULL", i4(1), VT_NULL, DISP_E_TYPEMISMATCH, 0},
  };
  for (const NumericCase& c : cases) {
    SCOPED_TRACE(c.name);
    VARIANT target = ui4(12345);
    EXPECT_EQ(VariantChangeType(&target, &c.source, 0, c.target), c.expected);
    if (c.expected == S_OK) {
      EXPECT_EQ(target.vt, c.target);
      EXPECT_EQ(c.target == VT_BOOL ? target.boolVal : target.lVal, c.value);
    } else {
      EXPECT_EQ(target.vt, VT_UI4);  // unchanged on failure
      EXPECT_EQ(target.ulVal, 12345u);
    }
  }
}

struct TextCase {
  const wchar_t* text;
  VARTYPE target;
  HRESULT expected;
  LONG value;
};

TEST(VariantTest, ChangeTypeFromText) {
  const TextCase cases[] = {
      {L"42", VT_I4, S_OK, 42},
      {L"  -42 ", VT_I4, S_OK, -42},
      {L"+7", VT_UI4, S_OK, 7},
      {L"4294967295", VT_UI4, S_OK, -1},
      {L"4294967296", VT_UI4, DISP_E_OVERFLOW, 0},
      {L"99999999999999999999999", VT_I4, DISP_E_OVERFLOW, 0},
      {L"-1", VT_UINT, DISP_E_OVERFLOW, 0},
      {L"", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {L"12abc", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {L"-", VT_I4, DISP_E_TYPEMISMATCH, 0},
      {L"TRUE", VT_BOOL, S_OK, VARIANT_TRUE},
      {L"false", VT_BOOL, S_OK, VARIANT_FALSE},
      {L"3", VT_BOOL, S_OK, VARIANT_TRUE},
      {L"yes", VT_BOOL, DISP_E_TYPEMISMATCH, 0},
      {L"1", VT_UNKNOWN, DISP_E_TYPEMISMATCH, 0},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "text of " << std::wstring(c.text).size() << " chars to " << c.target);
    Text source(c.text);
    UniqueVariant target;
    EXPECT_EQ(VariantChangeType(target.get(), source.v.get(), 0, c.target), c.expected);
    if (c.expected == S_OK) {
      EXPECT_EQ(c.target == VT_BOOL ? target->boolVal : target->lVal, c.value);
    }
  }
}

TEST(VariantTest, ChangeTypeToText) {
  struct Case {
    VARIANT source;
    USHORT flags;
    const wchar_t* expected;
  };
  const Case cases[] = {
      {i4(-12), 0, L"-12"},
      {ui4(4000000000u), 0, L"4000000000"},
      {boolean(VARIANT_TRUE), 0, L"-1"},
      {boolean(VARIANT_FALSE), 0, L"0"},
      {boolean(VARIANT_TRUE), VARIANT_ALPHABOOL, L"True"},
      {empty(), 0, L""},
  };
  for (const Case& c : cases) {
    UniqueVariant target;
    ASSERT_EQ(VariantChangeType(target.get(), &c.source, c.flags, VT_BSTR), S_OK);
    ASSERT_EQ(target->vt, VT_BSTR);
    EXPECT_EQ(std::wstring(target->bstrVal, SysStringLen(target->bstrVal)), c.expected);
  }
}

TEST(VariantTest, ChangeTypeInPlaceFreesTheOldText) {
  Text value(L"17");
  ASSERT_EQ(VariantChangeType(value.v.get(), value.v.get(), 0, VT_I4), S_OK);
  EXPECT_EQ(value.v->vt, VT_I4);
  EXPECT_EQ(value.v->lVal, 17);
}

}  // namespace
