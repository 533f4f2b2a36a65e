// Registry scripts in the registrar's format: what registering writes, what
// unregistering removes under each removal flag, replacements, and scripts that
// cannot be read writing nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/automation/Registrar.h"
#include "tests/support/RegistryDump.h"
#include "tests/support/ScratchFolder.h"

namespace {

namespace fs = std::filesystem;
using platform::RegistryHive;
using platform::automation::Registrar;
using vxtest::RegistryContent;

class RegistrarTest : public ::testing::Test {
 protected:
  platform::Registry registry() const { return platform::Registry((folder_ / "registry.db").string()); }
  RegistryContent classes() const { return vxtest::dumpRegistry(registry(), RegistryHive::ClassesRoot); }
  RegistryContent machine() const { return vxtest::dumpRegistry(registry(), RegistryHive::LocalMachine); }

  vxtest::ScratchFolder scratch_{"vx-registrar"};
  const fs::path& folder_ = scratch_.path();
};

TEST_F(RegistrarTest, RegisterWritesKeysValuesAndTypes) {
  Registrar registrar(registry());
  ASSERT_EQ(registrar.AddReplacement(L"Module", L"/opt/it's here/lib.so"), S_OK);
  const char* script = R"(
HKCR
{
	'Quoted Name' = s 'it''s %MODULE%'
	{
		val Number = d '42'
		val Hex = d 0x10
		val Bytes = b 00FF10
		val Percent = s '100%% sure'
		Sub
	}
}
HKEY_LOCAL_MACHINE
{
	Software
}
)";
  ASSERT_EQ(registrar.StringRegister(script), S_OK);
  const RegistryContent expected{
      {"Quoted Name",
       {{"", "it's /opt/it's here/lib.so"},
        {"Number", "dword:42"},
        {"Hex", "dword:16"},
        {"Bytes", "type3:00FF10"},
        {"Percent", "100% sure"}}},
      {"Quoted Name\\Sub", {}}};
  EXPECT_EQ(classes(), expected);
  EXPECT_EQ(machine(), (RegistryContent{{"Software", {}}}));
}

// Unregistration by removal flag, with content of others in and beside the keys.
TEST_F(RegistrarTest, UnregisterHonoursTheRemovalFlags) {
  const char* script = R"(
HKCR
{
	NoRemove Kept
	{
		Plain = s 'p'
		{
			val Named = s 'n'
		}
		ForceRemove Forced
		{
			Inner
		}
	}
	Shared
	{
		Mine
	}
}
)";
  Registrar registrar(registry());
  ASSERT_EQ(registrar.StringRegister(script), S_OK);
  // Others' content: a subkey inside a ForceRemove key goes with it; one inside a
  // plain key keeps that key (but not its values).
  ASSERT_EQ(registry().createKey(RegistryHive::ClassesRoot, "Kept\\Forced\\Theirs"), 0u);
  ASSERT_EQ(registry().createKey(RegistryHive::ClassesRoot, "Shared\\Theirs"), 0u);
  ASSERT_EQ(registry().createKey(RegistryHive::ClassesRoot, "Kept\\Beside"), 0u);

  ASSERT_EQ(registrar.StringUnregister(script), S_OK);
  EXPECT_EQ(classes(),
            (RegistryContent{{"Kept", {}}, {"Kept\\Beside", {}}, {"Shared", {}}, {"Shared\\Theirs", {}}}));
  // Unregistering what is already gone succeeds.
  EXPECT_EQ(registrar.StringUnregister(script), S_OK);
}

TEST_F(RegistrarTest, ForceRemoveReplacesAndDeleteRemoves) {
  Registrar registrar(registry());
  ASSERT_EQ(registry().createKey(RegistryHive::ClassesRoot, "Fresh\\Stale"), 0u);
  ASSERT_EQ(registry().createKey(RegistryHive::ClassesRoot, "Gone\\Below"), 0u);
  ASSERT_EQ(registrar.StringRegister("HKCR { ForceRemove Fresh = s 'new' Delete Gone }"), S_OK);
  EXPECT_EQ(classes(), (RegistryContent{{"Fresh", {{"", "new"}}}}));
}

TEST_F(RegistrarTest, UnreadableScriptsWriteNothing) {
  Registrar registrar(registry());
  ASSERT_EQ(registrar.AddReplacement(L"KNOWN", L"x"), S_OK);
  const char* scripts[] = {
      "HKCR { Good Bad = s 'unterminated }",
      "HKCR { Good = s 'x' ",                // no closing brace
      "HKCU { Good }",                        // a root this store does not keep
      "HKCR { Good = q 'x' }",                // unknown type
      "HKCR { Good = d 'twelve' }",           // not a number
      "HKCR { Good = b 0F0 }",                // odd hex digits
      "HKCR { Good = s '%UNKNOWN%' }",        // unknown replacement
      "HKCR { Good = s '%KNOWN' }",           // unterminated replacement
      "HKCR { Good { val Name s 'x' } }",     // val without =
      "HKCR { = s 'x' }",                     // no key name
  };
  for (const char* script : scripts) {
    EXPECT_EQ(registrar.StringRegister(script), DISP_E_EXCEPTION) << script;
    EXPECT_EQ(registrar.StringUnregister(script), DISP_E_EXCEPTION) << script;
    EXPECT_TRUE(classes().empty()) << script;
  }
}

TEST_F(RegistrarTest, ReplacementNamesIgnoreCaseAndCanBeCleared) {
  Registrar registrar(registry());
  ASSERT_EQ(registrar.AddReplacement(L"appid", L"{A}"), S_OK);
  ASSERT_EQ(registrar.StringRegister("HKCR { '%APPID%' = s '%AppId%' }"), S_OK);
  EXPECT_EQ(classes(), (RegistryContent{{"{A}", {{"", "{A}"}}}}));
  ASSERT_EQ(registrar.ClearReplacements(), S_OK);
  EXPECT_EQ(registrar.StringRegister("HKCR { '%APPID%' }"), DISP_E_EXCEPTION);
  EXPECT_EQ(registrar.AddReplacement(nullptr, L"x"), E_INVALIDARG);
}

// A store that refuses writes stops the script with its code.
TEST_F(RegistrarTest, StoreFailuresComeBackAsHresults) {
  ASSERT_EQ(registry().createKey(RegistryHive::ClassesRoot, "Existing"), 0u);
  const Registrar registrar(platform::Registry((folder_ / "registry.db").string(), platform::Registry::Access::ReadOnly));
  EXPECT_EQ(registrar.StringRegister("HKCR { New }"), HRESULT_FROM_WIN32(5));
  EXPECT_EQ(registrar.StringUnregister("HKCR { ForceRemove Existing }"), HRESULT_FROM_WIN32(5));
}

}  // namespace
