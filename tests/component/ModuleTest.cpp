// libovrascan.so as a host loads it: entry points, class object, module locks.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <atomic>
#include <latch>
#include <thread>
#include <vector>
#include <memory>

#include "component/OvrascanExports.h"
#include "component/OvrascanLib.h"
#include "suspicious/VxSuspiciousScanLib.h"
#include "platform/automation/ComPtr.h"
#include "platform/automation/InvokeByName.h"
#include "platform/automation/UniqueBstr.h"
#include "platform/automation/UniqueVariant.h"
#include "platform/automation/VariantOf.h"
#include "tests/automation/CountedObject.h"
#include "tests/component/LoadedModule.h"

namespace {

using platform::automation::com_ptr;

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(vxtest::ovrascanModule(), nullptr) << dlerror();
    getClassObject = vxtest::moduleExport<DllGetClassObjectFunction>("DllGetClassObject");
    canUnloadNow = vxtest::moduleExport<DllCanUnloadNowFunction>("DllCanUnloadNow");
    ASSERT_NE(getClassObject, nullptr);
    ASSERT_NE(canUnloadNow, nullptr);
  }

  DllGetClassObjectFunction getClassObject = nullptr;
  DllCanUnloadNowFunction canUnloadNow = nullptr;
};

TEST_F(ModuleTest, ClassObjectRequests) {
  com_ptr<IClassFactory> factory;
  EXPECT_EQ(getClassObject(CLSID_CoCVxVirusScan, IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(getClassObject(IID_IVxVirusScan, IID_IClassFactory, factory.put_void()), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(factory, nullptr);
  EXPECT_EQ(getClassObject(CLSID_CoCVxVirusScan, IID_IDispatch, factory.put_void()), E_NOINTERFACE);
  ASSERT_EQ(getClassObject(CLSID_CoCVxVirusScan, IID_IClassFactory, factory.put_void()), S_OK);

  // The class object is made once and kept: a second request gets the same one.
  com_ptr<IClassFactory> again;
  ASSERT_EQ(getClassObject(CLSID_CoCVxVirusScan, IID_IClassFactory, again.put_void()), S_OK);
  EXPECT_EQ(again.get(), factory.get());
  com_ptr<IClassFactory> other;
  ASSERT_EQ(getClassObject(CLSID_VxSuspiciousScan, IID_IClassFactory, other.put_void()), S_OK);
  EXPECT_NE(other.get(), factory.get());

  com_ptr<IVxVirusScan> object;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IVxVirusScan, nullptr), E_POINTER);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, object.put_void()), E_NOINTERFACE);
  // Aggregation hands out only the inner unknown.
  vxtest::CountedObject outer;
  EXPECT_EQ(factory->CreateInstance(&outer, IID_IVxVirusScan, object.put_void()), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(outer.references(), 0u);
  again.reset();
  other.reset();
  factory.reset();
  EXPECT_EQ(canUnloadNow(), S_OK) << "a refused creation leaves no object behind";
}

// Every object of either class, and every class object a client holds, keeps the
// module; the last release lets it go.
TEST_F(ModuleTest, ObjectsAndClassObjectsHoldTheModule) {
  EXPECT_EQ(canUnloadNow(), S_OK);
  const struct {
    const CLSID& clsid;
    const IID& iid;
  } classes[] = {{CLSID_CoCVxVirusScan, IID_IVxVirusScan}, {CLSID_VxSuspiciousScan, IID_IUnknown}};
  com_ptr<IClassFactory> factory;
  for (const auto& c : classes) {
    ASSERT_EQ(getClassObject(c.clsid, IID_IClassFactory, factory.put_void()), S_OK);
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    com_ptr<IUnknown> object;
    ASSERT_EQ(factory->CreateInstance(nullptr, c.iid, object.put_void()), S_OK);
    factory.reset();
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    object.reset();
    EXPECT_EQ(canUnloadNow(), S_OK);
  }

  // LockServer keeps the module as an object does.
  ASSERT_EQ(getClassObject(CLSID_CoCVxVirusScan, IID_IClassFactory, factory.put_void()), S_OK);
  factory->LockServer(1);
  factory.reset();
  EXPECT_EQ(canUnloadNow(), S_FALSE);
  ASSERT_EQ(getClassObject(CLSID_CoCVxVirusScan, IID_IClassFactory, factory.put_void()), S_OK);
  factory->LockServer(0);
  factory.reset();
  EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST_F(ModuleTest, ObjectFaces) {
  com_ptr<IClassFactory> factory;
  ASSERT_EQ(getClassObject(CLSID_CoCVxVirusScan, IID_IClassFactory, factory.put_void()), S_OK);
  com_ptr<IVxVirusScan> object;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IVxVirusScan, object.put_void()), S_OK);

  // IUnknown, IDispatch and IVxVirusScan are one face; the callback is another.
  auto unknown = object.try_query<IUnknown>(IID_IUnknown);
  auto dispatch = object.try_query<IDispatch>(IID_IDispatch);
  auto callback = object.try_query<IVxVirusScan_Callback>(IID_IVxVirusScan_Callback);
  EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(object.get()));
  EXPECT_EQ(static_cast<void*>(dispatch.get()), static_cast<void*>(object.get()));
  ASSERT_TRUE(callback);
  EXPECT_NE(static_cast<void*>(callback.get()), static_cast<void*>(object.get()));
  EXPECT_FALSE(object.try_query<IClassFactory>(IID_IClassFactory));
}

// An outer object that aggregates one of the module's classes: its own
// QueryInterface answers IUnknown and hands everything else to the inner object.
class Outer final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (riid == IID_IUnknown) {
      *ppv = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    return inner_->QueryInterface(riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override { return --count_; }

  ULONG references() const { return count_; }
  com_ptr<IUnknown>& inner() { return inner_; }

 private:
  std::atomic<ULONG> count_{0};
  com_ptr<IUnknown> inner_;
};

TEST_F(ModuleTest, AggregatedObjectsDelegateToTheOuterObject) {
  for (const CLSID& clsid : {CLSID_CoCVxVirusScan, CLSID_VxSuspiciousScan}) {
    com_ptr<IClassFactory> factory;
    ASSERT_EQ(getClassObject(clsid, IID_IClassFactory, factory.put_void()), S_OK);
    Outer outer;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, outer.inner().put_void()), S_OK);
    factory.reset();
    EXPECT_EQ(outer.references(), 0u) << "the inner object holds no reference to its outer one";

    // Any face of the inner object has the outer object's identity and count.
    com_ptr<IDispatch> dispatch;
    ASSERT_EQ(outer.QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
    EXPECT_EQ(outer.references(), 1u);
    com_ptr<IUnknown> identity;
    ASSERT_EQ(dispatch->QueryInterface(IID_IUnknown, identity.put_void()), S_OK);
    EXPECT_EQ(identity.get(), static_cast<IUnknown*>(&outer));
    identity.reset();
    dispatch.reset();
    EXPECT_EQ(outer.references(), 0u);

    // The inner unknown is not the outer one, and it alone decides the object's life.
    EXPECT_NE(outer.inner().get(), static_cast<IUnknown*>(&outer));
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    outer.inner().reset();
    EXPECT_EQ(canUnloadNow(), S_OK);
  }
}

TEST_F(ModuleTest, EveryReferenceIsGivenBackAfterUninitialize) {
  com_ptr<IClassFactory> factory;
  ASSERT_EQ(getClassObject(CLSID_CoCVxVirusScan, IID_IClassFactory, factory.put_void()), S_OK);
  com_ptr<IVxVirusScan> object;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IVxVirusScan, object.put_void()), S_OK);
  factory.reset();

  vxtest::CountedObject script;
  VARIANT sink;
  VariantInit(&sink);
  sink.vt = VT_DISPATCH;
  sink.pdispVal = &script;
  unsigned int status = 99;
  ASSERT_EQ(object->Register(sink, &status), S_OK);
  EXPECT_GT(script.references(), 0u);
  ASSERT_EQ(object->Uninitialize(VARIANT_TRUE, &status), S_OK);
  EXPECT_EQ(script.references(), 0u);
  object.reset();
  EXPECT_EQ(canUnloadNow(), S_OK);
}

}  // namespace

namespace {

// Threads asking for class objects at once get the one class object of each
// class, and the module's count comes back to zero.
TEST_F(ModuleTest, ConcurrentRequestsShareOneClassObjectPerClass) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 50;
  std::latch start(kThreads);
  std::vector<std::array<void*, 2>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int round = 0; round < kRounds; ++round) {
        const CLSID& clsid = round % 10 == 0 ? CLSID_VxSuspiciousScan : CLSID_CoCVxVirusScan;
        com_ptr<IClassFactory> factory;
        if (getClassObject(clsid, IID_IClassFactory, factory.put_void()) != S_OK) return;
        seen[t][clsid == CLSID_VxSuspiciousScan ? 1 : 0] = factory.get();
        com_ptr<IUnknown> object;
        factory->CreateInstance(nullptr, IID_IUnknown, object.put_void());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const auto& pointers : seen) {
    EXPECT_NE(pointers[0], nullptr);
    EXPECT_EQ(pointers, seen.front());
  }
  EXPECT_EQ(canUnloadNow(), S_OK);
}

// A script hands the collector object a tool path whose BSTR holds a NUL: the
// ".exe" test would read the whole text and the open only the part before the
// NUL. The module's object refuses it with E_INVALIDARG, through its interface
// and through Invoke alike; a whole path goes on to the object.
TEST_F(ModuleTest, ToolPathsWithANulAreRefusedByTheCollectorObject) {
  using platform::automation::UniqueBstr;
  using platform::automation::UniqueVariant;
  com_ptr<IClassFactory> factory;
  ASSERT_EQ(getClassObject(CLSID_VxSuspiciousScan, IID_IClassFactory, factory.put_void()), S_OK);
  com_ptr<IVxSuspiciousScan> object;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IVxSuspiciousScan, object.put_void()), S_OK);
  struct Case {
    const char* what;
    std::wstring text;
    HRESULT result;
  };
  const Case cases[] = {
      {"a NUL before the .exe ending", std::wstring(L"/tmp/q/Sifter\0.exe", 18), E_INVALIDARG},
      {"a NUL first", std::wstring(L"\0/opt/v/Sifter.exe", 18), E_INVALIDARG},
      {"a NUL last", std::wstring(L"/opt/v/Sifter.exe\0", 18), E_INVALIDARG},
      {"a whole path", L"/opt/v/Sifter.exe", S_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UniqueBstr text(c.text);
    ASSERT_EQ(SysStringLen(text.get()), c.text.size());
    const VARIANT argument = platform::automation::variantOfBstr(text.get());
    UniqueVariant direct;
    EXPECT_EQ(object->Configure(argument, direct.put()), c.result);
    UniqueVariant invoked;
    EXPECT_EQ(platform::automation::invokeByName(*object, L"Configure", {&argument, 1}, invoked.put()), c.result);
    if (c.result == S_OK) {
      for (UniqueVariant* result : {&direct, &invoked}) {
        ASSERT_EQ((*result)->vt, VT_I4);
        EXPECT_EQ((*result)->lVal, 0);
      }
    }
  }
  object->Abort(UniqueVariant().put());
}

}  // namespace
