#include "engine/VxNADLLUtil.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "foundation/VxErrorCodes.h"
#include "foundation/VxNATypeConversion.h"
#include "tests/engine/testengine/TestEngineControl.h"

namespace {

const std::wstring kTestEngine = VxNATypeConversion::ansiBufferToWideString(TEST_ENGINE_PATH);

std::shared_ptr<IVxNALibrary> loadTestEngine() {
  VxNAResult<std::shared_ptr<IVxNALibrary>> library = CVxNADLLUtil::loadLibrary(kTestEngine);
  EXPECT_TRUE(library.ok) << library.error;
  return library.value;
}

TEST(NADLLUtil, LoadLibraryRefusesAnEmptyName) {
  EXPECT_EQ(CVxNADLLUtil::loadLibrary(L"").error, ERROR_INVALID_PARAMETER);
}

TEST(NADLLUtil, ALibraryThatCannotBeLoadedIsNotFound) {
  EXPECT_EQ(CVxNADLLUtil::loadLibrary(L"/nonexistent/libvx-missing.so").error, ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(CVxNADLLUtil::loadLibrary(L"libvx-missing-by-name.so").error, ERROR_MOD_NOT_FOUND);
  // A file that is not a library.
  EXPECT_EQ(CVxNADLLUtil::loadLibrary(L"/proc/self/status").error, ERROR_MOD_NOT_FOUND);
}

TEST(NADLLUtil, LoadsByNameWithTheSystemsSearchRules) {
  VxNAResult<std::shared_ptr<IVxNALibrary>> library = CVxNADLLUtil::loadLibrary(L"libc.so.6");
  ASSERT_TRUE(library.ok);
  EXPECT_TRUE(library.value->getProcAddress(L"strlen").ok);
}

TEST(NADLLUtil, LoadingTwiceIsRefused) {
  std::shared_ptr<IVxNALibrary> library = loadTestEngine();
  ASSERT_TRUE(library);
  EXPECT_EQ(library->load(kTestEngine).error, ERROR_ALREADY_INITIALIZED);
  EXPECT_EQ(library->load(L"").error, ERROR_ALREADY_INITIALIZED);
}

TEST(NADLLUtil, ExportsAreFoundByName) {
  std::shared_ptr<IVxNALibrary> library = loadTestEngine();
  ASSERT_TRUE(library);
  const VxNAResult<void*> address = library->getProcAddress(L"AVInitialise");
  ASSERT_TRUE(address.ok);
  // The library is the one this program is linked with, so the addresses agree.
  EXPECT_EQ(address.value, reinterpret_cast<void*>(&AVInitialise));
  EXPECT_EQ(library->getProcAddress(L"").error, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(library->getProcAddress(L"AVNoSuchEntry").error, ERROR_PROC_NOT_FOUND);
  // Names are exact.
  EXPECT_EQ(library->getProcAddress(L"avinitialise").error, ERROR_PROC_NOT_FOUND);
}

TEST(NADLLUtil, TheModuleSharesTheLibrarysOwnership) {
  std::shared_ptr<IVxNALibrary> library = loadTestEngine();
  ASSERT_TRUE(library);
  VxNAResult<std::shared_ptr<IVxNALibModule>> module = library->getModule();
  ASSERT_TRUE(module.ok);
  ASSERT_TRUE(module.value);
  EXPECT_NE(module.value->getNativeHandle(), nullptr);
  const std::weak_ptr<IVxNALibrary> watch = library;
  library.reset();
  EXPECT_FALSE(watch.expired());
  module.value.reset();
  EXPECT_TRUE(watch.expired());
}

}  // namespace
