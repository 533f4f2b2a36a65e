#include "platform/automation/ScriptObject.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/automation/UniqueVariant.h"

namespace {

using platform::automation::makeScriptObject;
using platform::automation::ScriptMethod;
using platform::automation::UniqueVariant;

// Calls a method by name as a component calls a script: look the name up, then
// Invoke with the arguments last first.
HRESULT callByName(IDispatch* object, const wchar_t* name, std::vector<VARIANT> firstFirst, VARIANT* result) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  DISPID id = DISPID_UNKNOWN;
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  std::vector<VARIANT> lastFirst(firstFirst.rbegin(), firstFirst.rend());
  DISPPARAMS params{lastFirst.data(), nullptr, static_cast<UINT>(lastFirst.size()), 0};
  EXCEPINFO exception{};
  UINT argumentError = 0;
  return object->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result, &exception, &argumentError);
}

VARIANT ui4(ULONG v) {
  VARIANT r;
  VariantInit(&r);
  r.vt = VT_UI4;
  r.ulVal = v;
  return r;
}

TEST(ScriptObjectTest, MethodsAreCalledByNameWithArgumentsFirstFirst) {
  std::vector<ULONG> seen;
  auto object = makeScriptObject({
      {L"Progress",
       [&](std::span<const VARIANT> args, VARIANT* result) {
         for (const VARIANT& a : args) seen.push_back(a.ulVal);
         result->vt = VT_I4;
         result->lVal = static_cast<LONG>(args.size());
         return S_OK;
       }},
      {L"OnComplete", [](std::span<const VARIANT>, VARIANT*) { return E_FAIL; }},
  });
  ASSERT_TRUE(object);
  UniqueVariant result;
  ASSERT_EQ(callByName(object.get(), L"progress", {ui4(1), ui4(2), ui4(3), ui4(4)}, result.get()), S_OK);
  EXPECT_EQ(seen, (std::vector<ULONG>{1, 2, 3, 4}));
  EXPECT_EQ(result->lVal, 4);
  EXPECT_EQ(callByName(object.get(), L"ONCOMPLETE", {}, nullptr), E_FAIL);
  EXPECT_EQ(callByName(object.get(), L"OnError", {ui4(1)}, nullptr), DISP_E_UNKNOWNNAME);
}

TEST(ScriptObjectTest, ArgumentsAreCopiesTheFunctionMayKeepNothingOf) {
  std::wstring received;
  auto object = makeScriptObject({{L"Name", [&](std::span<const VARIANT> args, VARIANT*) {
                                     received.assign(args[0].bstrVal, SysStringLen(args[0].bstrVal));
                                     return S_OK;
                                   }}});
  VARIANT name;
  VariantInit(&name);
  name.vt = VT_BSTR;
  name.bstrVal = SysAllocStringLen(L"a\0b", 3);
  EXPECT_EQ(callByName(object.get(), L"Name", {name}, nullptr), S_OK);
  EXPECT_EQ(received, std::wstring(L"a\0b", 3));
  VariantClear(&name);
}

TEST(ScriptObjectTest, RefusesWhatAScriptObjectCannotDo) {
  auto object = makeScriptObject({{L"Only", [](std::span<const VARIANT>, VARIANT*) { return S_OK; }}});
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(object->Invoke(2, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(object->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYPUT, &none, nullptr, nullptr, nullptr),
            DISP_E_MEMBERNOTFOUND);
  void* face = nullptr;
  ASSERT_EQ(object->QueryInterface(IID_IUnknown, &face), S_OK);
  static_cast<IUnknown*>(face)->Release();
  EXPECT_EQ(object->QueryInterface(IID_NULL, &face), E_NOINTERFACE);
}

}  // namespace

namespace {

// A script object as a script host wraps a script's object: the component's
// threads call it at once, and whichever drops the last reference frees what
// the methods share.
TEST(ScriptObjectTest, ManyThreadsCallItAndTheLastReleaseFreesItsStateOnce) {
  struct Shared {
    std::atomic<int> calls{0};
    std::atomic<int>* freed;
    ~Shared() { ++*freed; }
  };
  std::atomic<int> freed{0};
  auto shared = std::make_shared<Shared>();
  shared->freed = &freed;
  auto object = makeScriptObject({{L"Progress", [shared](std::span<const VARIANT>, VARIANT*) {
                                     ++shared->calls;
                                     return S_OK;
                                   }},
                                  {L"OnComplete", [shared](std::span<const VARIANT>, VARIANT*) { return S_OK; }}});
  std::weak_ptr<Shared> watch = shared;
  shared.reset();
  constexpr int kThreads = 4;
  constexpr int kCalls = 500;
  std::latch start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    // Each thread holds a reference of its own and drops it when done.
    threads.emplace_back([&start, reference = object] {
      start.arrive_and_wait();
      for (int i = 0; i < kCalls; ++i) {
        UniqueVariant result;
        EXPECT_EQ(callByName(reference.get(), i % 2 == 0 ? L"progress" : L"PROGRESS", {ui4(i)}, result.put()), S_OK);
      }
    });
  }
  object.reset();
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(freed.load(), 1);
}

}  // namespace
