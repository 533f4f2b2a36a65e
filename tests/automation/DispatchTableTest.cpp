#include "platform/automation/DispatchTable.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/automation/TableDispatch.h"
#include "platform/automation/UniqueVariant.h"

namespace {

using platform::automation::dispatchMethod;
using platform::automation::DispatchTable;
using platform::automation::retval;
using platform::automation::TableDispatch;
using platform::automation::UniqueVariant;

class ISample : public IDispatch {
 public:
  virtual HRESULT STDMETHODCALLTYPE Combine(UINT number, BSTR text, VARIANT_BOOL flag, BSTR* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE Fail(UINT* status) = 0;
  virtual HRESULT STDMETHODCALLTYPE Touch() = 0;

 protected:
  ~ISample() = default;
};

const DispatchTable& sampleTable() {
  static const DispatchTable table({
      dispatchMethod(L"Combine", 1, {VT_UINT, VT_BSTR, VT_BOOL}, retval(VT_BSTR), &ISample::Combine),
      dispatchMethod(L"Fail", 2, {}, retval(VT_UINT), &ISample::Fail),
      dispatchMethod(L"Touch", 3, {}, &ISample::Touch),
  });
  return table;
}

class Sample final : public TableDispatch<ISample> {
 public:
  Sample() : TableDispatch<ISample>(sampleTable()) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE Combine(UINT number, BSTR text, VARIANT_BOOL flag, BSTR* result) override {
    std::wstring out = std::to_wstring(number) + L"|" + std::wstring(text, SysStringLen(text)) + L"|" +
                       (flag == VARIANT_TRUE ? L"T" : L"F");
    *result = SysAllocString(out.c_str());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Fail(UINT* status) override {
    *status = 5;
    return E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE Touch() override {
    ++touched;
    return S_OK;
  }
  int touched = 0;
};

VARIANT number(VARTYPE vt, LONG v) {
  VARIANT r;
  VariantInit(&r);
  r.vt = vt;
  r.lVal = v;
  return r;
}

// Arguments given first first, laid out last first as a caller of Invoke does.
struct Call {
  explicit Call(std::vector<VARIANT> firstFirst) : args(firstFirst.rbegin(), firstFirst.rend()) {}
  ~Call() {
    for (VARIANT& v : args) VariantClear(&v);
  }
  DISPPARAMS params() { return DISPPARAMS{args.data(), nullptr, static_cast<UINT>(args.size()), 0}; }
  std::vector<VARIANT> args;
};

VARIANT text(const wchar_t* t) {
  VARIANT r;
  VariantInit(&r);
  r.vt = VT_BSTR;
  r.bstrVal = SysAllocString(t);
  return r;
}

TEST(DispatchTableTest, DeclaredTablesAreConsistent) {
  EXPECT_TRUE(sampleTable().consistent());
  Sample sample;
  const DispatchTable duplicateName({dispatchMethod(L"Touch", 1, {}, &ISample::Touch),
                                     dispatchMethod(L"TOUCH", 2, {}, &ISample::Touch)});
  EXPECT_FALSE(duplicateName.consistent());
  const DispatchTable duplicateId({dispatchMethod(L"Touch", 1, {}, &ISample::Touch),
                                   dispatchMethod(L"Other", 1, {}, &ISample::Touch)});
  EXPECT_FALSE(duplicateId.consistent());
  const DispatchTable wrongArity({dispatchMethod(L"Touch", 1, {VT_I4}, &ISample::Touch)});
  EXPECT_FALSE(wrongArity.consistent());
}

TEST(DispatchTableTest, NamesAreFoundWithoutRegardToCase) {
  Sample sample;
  for (const wchar_t* name : {L"Combine", L"combine", L"COMBINE", L"cOmBiNe"}) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0;
    ASSERT_EQ(sample.GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &id), S_OK);
    EXPECT_EQ(id, 1);
  }
  LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"Combin"), const_cast<LPOLESTR>(L"x")};
  DISPID ids[2] = {7, 7};
  EXPECT_EQ(sample.GetIDsOfNames(IID_NULL, unknown, 2, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);
  EXPECT_EQ(sample.GetIDsOfNames(IID_IDispatch, unknown, 1, 0, ids), DISP_E_UNKNOWNINTERFACE);
}

TEST(DispatchTableTest, InvokeTakesArgumentsLastFirstAndCoerces) {
  Sample sample;
  // A script hands numbers as VT_I4 and booleans as anything non-zero; the table
  // converts them to the declared types.
  Call call({number(VT_I4, 42), number(VT_I4, 9), text(L"true")});
  DISPPARAMS params = call.params();
  UniqueVariant result;
  ASSERT_EQ(sample.Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, result.get(), nullptr, nullptr), S_OK);
  ASSERT_EQ(result->vt, VT_BSTR);
  EXPECT_EQ(std::wstring(result->bstrVal), L"42|9|T");
}

TEST(DispatchTableTest, InvokeReportsEachDispatchError) {
  Sample sample;
  Call good({number(VT_UI4, 1), text(L"x"), number(VT_BOOL, 0)});
  DISPPARAMS params = good.params();
  UniqueVariant result;
  EXPECT_EQ(sample.Invoke(99, IID_NULL, 0, DISPATCH_METHOD, &params, result.get(), nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(sample.Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, result.get(), nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(sample.Invoke(1, IID_IDispatch, 0, DISPATCH_METHOD, &params, result.get(), nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);

  Call tooFew({number(VT_UI4, 1)});
  DISPPARAMS few = tooFew.params();
  EXPECT_EQ(sample.Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &few, result.get(), nullptr, nullptr),
            DISP_E_BADPARAMCOUNT);

  DISPID named = 0;
  DISPPARAMS withNames = good.params();
  withNames.rgdispidNamedArgs = &named;
  withNames.cNamedArgs = 1;
  EXPECT_EQ(sample.Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &withNames, result.get(), nullptr, nullptr),
            DISP_E_NONAMEDARGS);

  // The first argument is text that is no number: it sits last in rgvarg.
  Call mismatch({text(L"many"), text(L"x"), number(VT_BOOL, 0)});
  DISPPARAMS bad = mismatch.params();
  UINT argumentError = 77;
  EXPECT_EQ(sample.Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &bad, result.get(), nullptr, &argumentError),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argumentError, 2u);
  // Overflow is a type mismatch to the script as well.
  Call negative({number(VT_I4, -1), text(L"x"), number(VT_BOOL, 0)});
  DISPPARAMS neg = negative.params();
  EXPECT_EQ(sample.Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &neg, result.get(), nullptr, &argumentError),
            DISP_E_TYPEMISMATCH);
  EXPECT_EQ(result->vt, VT_EMPTY);
}

TEST(DispatchTableTest, MethodResultAndRetvalReachTheCaller) {
  Sample sample;
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  UniqueVariant result;
  EXPECT_EQ(sample.Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &none, result.get(), nullptr, nullptr), E_FAIL);
  EXPECT_EQ(result->vt, VT_EMPTY);  // a failed method's retval is not handed on
  EXPECT_EQ(sample.Invoke(3, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none, nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(sample.touched, 1);
  UINT count = 9;
  EXPECT_EQ(sample.GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
}

TEST(DispatchTableTest, VariablesPassedByReferenceAreRead) {
  Sample sample;
  VARIANT inner = number(VT_I4, 3);
  VARIANT byRef;
  VariantInit(&byRef);
  byRef.vt = VT_BYREF | VT_VARIANT;
  byRef.byref = &inner;
  std::vector<VARIANT> args{number(VT_BOOL, VARIANT_TRUE), text(L"y"), byRef};  // last first
  DISPPARAMS params{args.data(), nullptr, 3, 0};
  UniqueVariant result;
  ASSERT_EQ(sample.Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, result.get(), nullptr, nullptr), S_OK);
  EXPECT_EQ(std::wstring(result->bstrVal), L"3|y|T");
  VariantClear(&args[1]);
}

}  // namespace
