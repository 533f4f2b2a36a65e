// The process-wide table of script callbacks.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "component/VxInterfaceTable.h"
#include "tests/automation/CountedObject.h"

namespace {

using platform::automation::com_ptr;
using vxtest::CountedObject;

class InterfaceTableTest : public ::testing::Test {
 protected:
  void TearDown() override { table.revokeAll(); }
  CVxInterfaceTable& table = CVxInterfaceTable::instance();
};

TEST_F(InterfaceTableTest, RegisterGetReplaceAndRevoke) {
  CountedObject first;
  CountedObject second;
  EXPECT_EQ(table.get(IID_IDispatch), nullptr);

  ASSERT_EQ(table.registerInterface(IID_IDispatch, &first), S_OK);
  EXPECT_EQ(first.references(), 1u);
  {
    com_ptr<IUnknown> got = table.get(IID_IDispatch);
    EXPECT_EQ(got.get(), static_cast<IUnknown*>(&first));
    EXPECT_EQ(first.references(), 2u);
  }
  // A replaced registration is revoked, so its object is given back.
  ASSERT_EQ(table.registerInterface(IID_IDispatch, &second), S_OK);
  EXPECT_EQ(first.references(), 0u);
  EXPECT_EQ(table.get(IID_IDispatch).get(), static_cast<IUnknown*>(&second));

  // Other identifiers are kept apart.
  ASSERT_EQ(table.registerInterface(IID_IUnknown, &first), S_OK);
  EXPECT_EQ(table.get(IID_IUnknown).get(), static_cast<IUnknown*>(&first));

  table.revokeAll();
  EXPECT_EQ(table.get(IID_IDispatch), nullptr);
  EXPECT_EQ(table.get(IID_IUnknown), nullptr);
  EXPECT_EQ(first.references(), 0u);
  EXPECT_EQ(second.references(), 0u);
}

TEST_F(InterfaceTableTest, RefusedRegistrationIsReported) {
  EXPECT_EQ(table.registerInterface(IID_IDispatch, nullptr), E_INVALIDARG);
  EXPECT_EQ(table.get(IID_IDispatch), nullptr);
}

TEST_F(InterfaceTableTest, ConcurrentRegistrationsGetsAndRevocations) {
  constexpr int kRounds = 2000;
  CountedObject objects[2];
  std::atomic<bool> stop{false};
  std::thread registrar([&] {
    for (int i = 0; i < kRounds; ++i) {
      table.registerInterface(IID_IDispatch, &objects[i % 2]);
      if (i % 97 == 0) table.revokeAll();
    }
    stop = true;
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        com_ptr<IUnknown> got = table.get(IID_IDispatch);
        if (got) {
          EXPECT_TRUE(got.get() == &objects[0] || got.get() == &objects[1]);
        }
      }
    });
  }
  registrar.join();
  for (auto& reader : readers) reader.join();
  table.revokeAll();
  // Every reference the table took was given back.
  EXPECT_EQ(objects[0].references() + objects[1].references(), 0u);
}

}  // namespace
