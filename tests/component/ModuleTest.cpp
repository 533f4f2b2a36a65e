// libovrascan.so as a host loads it: entry points, class object, module locks.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>

#include "component/OvrascanExports.h"
#include "component/OvrascanLib.h"
#include "platform/automation/ComPtr.h"
#include "tests/automation/CountedObject.h"

namespace {

using platform::automation::com_ptr;

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    module_.reset(dlopen(OVRASCAN_MODULE, RTLD_NOW | RTLD_LOCAL));
    ASSERT_NE(module_, nullptr) << dlerror();
    getClassObject = reinterpret_cast<DllGetClassObjectFunction>(dlsym(module_.get(), "DllGetClassObject"));
    canUnloadNow = reinterpret_cast<DllCanUnloadNowFunction>(dlsym(module_.get(), "DllCanUnloadNow"));
    ASSERT_NE(getClassObject, nullptr);
    ASSERT_NE(canUnloadNow, nullptr);
  }

  struct Closer {
    void operator()(void* handle) const { dlclose(handle); }
  };
  std::unique_ptr<void, Closer> module_;
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

  com_ptr<IVxVirusScan> object;
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IVxVirusScan, nullptr), E_POINTER);
  EXPECT_EQ(factory->CreateInstance(factory.get(), IID_IVxVirusScan, object.put_void()), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, object.put_void()), E_NOINTERFACE);
  EXPECT_EQ(canUnloadNow(), S_OK) << "a refused creation leaves no object behind";
}

TEST_F(ModuleTest, ObjectFacesAndModuleLocks) {
  com_ptr<IClassFactory> factory;
  ASSERT_EQ(getClassObject(CLSID_CoCVxVirusScan, IID_IClassFactory, factory.put_void()), S_OK);
  EXPECT_EQ(canUnloadNow(), S_OK);

  com_ptr<IVxVirusScan> object;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IVxVirusScan, object.put_void()), S_OK);
  EXPECT_EQ(canUnloadNow(), S_FALSE);

  // IUnknown, IDispatch and IVxVirusScan are one face; the callback is another.
  auto unknown = object.try_query<IUnknown>(IID_IUnknown);
  auto dispatch = object.try_query<IDispatch>(IID_IDispatch);
  auto callback = object.try_query<IVxVirusScan_Callback>(IID_IVxVirusScan_Callback);
  EXPECT_EQ(static_cast<void*>(unknown.get()), static_cast<void*>(object.get()));
  EXPECT_EQ(static_cast<void*>(dispatch.get()), static_cast<void*>(object.get()));
  ASSERT_TRUE(callback);
  EXPECT_NE(static_cast<void*>(callback.get()), static_cast<void*>(object.get()));
  EXPECT_FALSE(object.try_query<IClassFactory>(IID_IClassFactory));

  // LockServer keeps the module as an object does.
  factory->LockServer(1);
  unknown.reset();
  dispatch.reset();
  callback.reset();
  object.reset();
  EXPECT_EQ(canUnloadNow(), S_FALSE);
  factory->LockServer(0);
  EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST_F(ModuleTest, EveryReferenceIsGivenBackAfterUninitialize) {
  com_ptr<IClassFactory> factory;
  ASSERT_EQ(getClassObject(CLSID_CoCVxVirusScan, IID_IClassFactory, factory.put_void()), S_OK);
  com_ptr<IVxVirusScan> object;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IVxVirusScan, object.put_void()), S_OK);

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
