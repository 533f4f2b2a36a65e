#include "platform/ModulePath.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>

#include "engine/VxAVEngineLibrary.h"
#include "foundation/VxNATypeConversion.h"
#include "tests/engine/testengine/TestEngineControl.h"

namespace {

void codeOfThisProgram() {}

std::string canonicalFolder(const std::string& path) {
  return std::filesystem::canonical(path).parent_path().string();
}

TEST(ModulePath, HostExecutableFolderIsTheFolderOfTheRunningProgram) {
  std::string folder;
  ASSERT_EQ(platform::hostExecutableFolder(folder), 0u);
  EXPECT_EQ(folder, canonicalFolder("/proc/self/exe"));
}

// A host outside the product folder (an interpreter) names it; only an absolute
// folder counts.
TEST(ModulePath, HostFolderNamedInTheEnvironment) {
  const std::string own = canonicalFolder("/proc/self/exe");
  const std::pair<const char*, std::string> cases[] = {
      {"/opt/vexora", "/opt/vexora"}, {"/opt/vexora//", "/opt/vexora"}, {"/", "/"}, {"relative/bin", own}, {"", own}};
  for (const auto& [named, expected] : cases) {
    ASSERT_EQ(::setenv(platform::kHostFolderVariable, named, 1), 0);
    std::string folder;
    EXPECT_EQ(platform::hostExecutableFolder(folder), 0u) << named;
    EXPECT_EQ(folder, expected) << named;
  }
  ::unsetenv(platform::kHostFolderVariable);
}

TEST(ModulePath, FolderOfCodeInTheProgramIsTheProgramsFolder) {
  std::string folder;
  ASSERT_EQ(platform::moduleFolderOf(reinterpret_cast<const void*>(&codeOfThisProgram), folder), 0u);
  EXPECT_EQ(folder, canonicalFolder("/proc/self/exe"));
}

TEST(ModulePath, FolderOfCodeInASharedLibraryIsTheLibrarysFolder) {
  std::string path;
  ASSERT_EQ(platform::modulePathOf(reinterpret_cast<const void*>(&AVInitialise), path), 0u);
  EXPECT_EQ(path, std::filesystem::canonical(TEST_ENGINE_PATH).string());
  std::string folder;
  ASSERT_EQ(platform::moduleFolderOf(reinterpret_cast<const void*>(&AVInitialise), folder), 0u);
  EXPECT_EQ(folder, canonicalFolder(TEST_ENGINE_PATH));
}

TEST(ModulePath, AnAddressOutsideEveryModuleIsNotFound) {
  std::string folder = "unchanged";
  EXPECT_EQ(platform::moduleFolderOf(nullptr, folder), 126u);
  EXPECT_EQ(folder, "unchanged");
}

TEST(ModulePath, FolderOfPathCutsAtTheLastSeparator) {
  EXPECT_EQ(platform::folderOfPath("/opt/vx/bin/host"), "/opt/vx/bin");
  EXPECT_EQ(platform::folderOfPath("/host"), "");
  EXPECT_EQ(platform::folderOfPath("host"), "");
}

TEST(ModulePath, TheEngineLibraryIsLookedForBesideTheComponentsModule) {
  // The component's code is linked into this program, so its module is the program.
  const VxNAResult<std::wstring> path = CVxAVEngineLibrary::defaultLibraryPath();
  ASSERT_TRUE(path.ok);
  EXPECT_EQ(path.value, VxNATypeConversion::ansiBufferToWideString(
                            canonicalFolder("/proc/self/exe") + "/libqelda64a.so"));
}

}  // namespace
