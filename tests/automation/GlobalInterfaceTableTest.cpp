#include "platform/automation/GlobalInterfaceTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "platform/automation/Activation.h"
#include "platform/automation/ClassFactory.h"
#include "platform/automation/ComPtr.h"
#include "tests/automation/CountedObject.h"

namespace {

using platform::automation::com_ptr;
using platform::automation::globalInterfaceTable;

TEST(GlobalInterfaceTableTest, HandsBackTheSamePointerWithAReference) {
  vxtest::CountedObject object;
  IGlobalInterfaceTable& git = globalInterfaceTable();
  DWORD cookie = 0;
  ASSERT_EQ(git.RegisterInterfaceInGlobal(&object, IID_IDispatch, &cookie), S_OK);
  EXPECT_NE(cookie, 0u);
  EXPECT_EQ(object.references(), 1u);
  {
    com_ptr<IDispatch> fetched;
    ASSERT_EQ(git.GetInterfaceFromGlobal(cookie, IID_IDispatch, fetched.put_void()), S_OK);
    EXPECT_EQ(fetched.get(), &object);
    EXPECT_EQ(object.references(), 2u);
    com_ptr<IUnknown> other;
    ASSERT_EQ(git.GetInterfaceFromGlobal(cookie, IID_IUnknown, other.put_void()), S_OK);
    EXPECT_EQ(object.references(), 3u);
    void* none = &object;
    EXPECT_EQ(git.GetInterfaceFromGlobal(cookie, IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
  }
  EXPECT_EQ(object.references(), 1u);
  ASSERT_EQ(git.RevokeInterfaceFromGlobal(cookie), S_OK);
  EXPECT_EQ(object.references(), 0u);
  void* gone = nullptr;
  EXPECT_EQ(git.GetInterfaceFromGlobal(cookie, IID_IDispatch, &gone), E_INVALIDARG);
  EXPECT_EQ(git.RevokeInterfaceFromGlobal(cookie), E_INVALIDARG);
}

TEST(GlobalInterfaceTableTest, RefusesBadArguments) {
  IGlobalInterfaceTable& git = globalInterfaceTable();
  DWORD cookie = 0;
  EXPECT_EQ(git.RegisterInterfaceInGlobal(nullptr, IID_IDispatch, &cookie), E_INVALIDARG);
  vxtest::CountedObject object;
  EXPECT_EQ(git.RegisterInterfaceInGlobal(&object, IID_IDispatch, nullptr), E_INVALIDARG);
  EXPECT_EQ(object.references(), 0u);
  EXPECT_EQ(git.GetInterfaceFromGlobal(0, IID_IDispatch, nullptr), E_INVALIDARG);
}

TEST(GlobalInterfaceTableTest, IsTheObjectCoCreateInstanceGives) {
  com_ptr<IGlobalInterfaceTable> git;
  ASSERT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                             git.put_void()),
            S_OK);
  EXPECT_EQ(git.get(), &globalInterfaceTable());
  void* other = nullptr;
  EXPECT_EQ(CoCreateInstance(IID_IDispatch, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &other), REGDB_E_CLASSNOTREG);
}

// Threads register, fetch and revoke at once, and some fetch a cookie another
// thread revokes meanwhile: every count must come back to zero and no cookie may
// be handed out twice.
TEST(GlobalInterfaceTableTest, ConcurrentUseKeepsCountsAndCookiesApart) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  vxtest::CountedObject shared;
  IGlobalInterfaceTable& git = globalInterfaceTable();
  DWORD sharedCookie = 0;
  ASSERT_EQ(git.RegisterInterfaceInGlobal(&shared, IID_IDispatch, &sharedCookie), S_OK);
  std::vector<std::vector<DWORD>> cookies(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      vxtest::CountedObject own;
      for (int i = 0; i < kRounds; ++i) {
        DWORD cookie = 0;
        if (FAILED(git.RegisterInterfaceInGlobal(&own, IID_IDispatch, &cookie))) return;
        cookies[t].push_back(cookie);
        com_ptr<IDispatch> fetched;
        if (SUCCEEDED(git.GetInterfaceFromGlobal(sharedCookie, IID_IDispatch, fetched.put_void()))) {
          fetched.reset();
        }
        git.RevokeInterfaceFromGlobal(cookie);
      }
      EXPECT_EQ(own.references(), 0u);
    });
  }
  // Revoking the shared registration races the fetches above.
  EXPECT_EQ(git.RevokeInterfaceFromGlobal(sharedCookie), S_OK);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(shared.references(), 0u);
  std::vector<DWORD> all;
  for (auto& list : cookies) {
    EXPECT_EQ(list.size(), static_cast<std::size_t>(kRounds));
    all.insert(all.end(), list.begin(), list.end());
  }
  std::sort(all.begin(), all.end());
  // A cookie may come back only after its revoke; with a counter that never happens
  // within one run, so all are distinct.
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
}

}  // namespace
