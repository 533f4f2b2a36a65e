// libovrascan.so registers itself: the exact keys its scripts and its type
// library leave in the registry store, what unregistration takes away again, and
// activation of both classes by ProgID through what was registered.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "component/OvrascanExports.h"
#include "component/OvrascanLib.h"
#include "platform/RegistryString.h"
#include "platform/automation/Activation.h"
#include "platform/automation/ComPtr.h"
#include "platform/automation/InvokeByName.h"
#include "platform/automation/UniqueVariant.h"
#include "suspicious/VxSuspiciousScanLib.h"
#include "tests/component/LoadedModule.h"
#include "tests/component/ScriptRecorder.h"
#include "tests/support/RegistryDump.h"

namespace {

namespace fs = std::filesystem;
using platform::RegistryHive;
using platform::automation::com_ptr;
using vxtest::RegistryContent;

constexpr RegistryHive kClasses = RegistryHive::ClassesRoot;
const std::string kLibid = "{F44D766B-F664-439F-99C4-11190E3BEEC2}";
const std::string kAppid = "{F570E399-76E6-4B51-B522-2BA54549FA93}";
const std::string kVirusScan = "{7E80D70A-FA51-4790-A1C7-767C6EA14B89}";
const std::string kSuspiciousScan = "{7822F49B-3B6E-4646-86A9-204D7488A1FD}";

std::string modulePath() { return fs::canonical(OVRASCAN_MODULE).string(); }

void expectClass(RegistryContent& expected, const std::string& name, const std::string& clsid) {
  const std::string progId = "Ovrascan." + name;
  const std::string description = name + " Class";
  expected[progId + ".1"] = {{"", description}};
  expected[progId + ".1\\CLSID"] = {{"", clsid}};
  expected[progId] = {{"", description}};
  expected[progId + "\\CLSID"] = {{"", clsid}};
  expected[progId + "\\CurVer"] = {{"", progId + ".1"}};
  const std::string key = "CLSID\\" + clsid;
  expected[key] = {{"", description}};
  expected[key + "\\ProgID"] = {{"", progId + ".1"}};
  expected[key + "\\VersionIndependentProgID"] = {{"", progId}};
  expected[key + "\\Programmable"] = {};
  expected[key + "\\InprocServer32"] = {{"", modulePath()}, {"ThreadingModel", "Both"}};
  expected[key + "\\TypeLib"] = {{"", kLibid}};
}

void expectInterface(RegistryContent& expected, const std::string& name, const std::string& iid) {
  const std::string key = "Interface\\" + iid;
  const std::string marshaller = "{00020424-0000-0000-C000-000000000046}";
  expected[key] = {{"", name}};
  expected[key + "\\ProxyStubClsid"] = {{"", marshaller}};
  expected[key + "\\ProxyStubClsid32"] = {{"", marshaller}};
  expected[key + "\\TypeLib"] = {{"", kLibid}, {"Version", "1.0"}};
}

RegistryContent registeredContent() {
  RegistryContent expected;
  expected["AppID"] = {};
  expected["AppID\\" + kAppid] = {{"", "Ovrascan"}};
  expected["AppID\\Ovrascan.DLL"] = {{"AppID", kAppid}};
  expected["CLSID"] = {};
  expectClass(expected, "CoCVxVirusScan", kVirusScan);
  expectClass(expected, "VxSuspiciousScan", kSuspiciousScan);
  const std::string library = "TypeLib\\" + kLibid;
  expected["TypeLib"] = {};
  expected[library] = {};
  expected[library + "\\1.0"] = {{"", "Ovrascan 1.0 Type Library"}};
  expected[library + "\\1.0\\FLAGS"] = {{"", "0"}};
  expected[library + "\\1.0\\409"] = {};
  expected[library + "\\1.0\\409\\win64"] = {{"", modulePath()}};
  expected[library + "\\1.0\\HELPDIR"] = {{"", fs::path(modulePath()).parent_path().string()}};
  expected["Interface"] = {};
  expectInterface(expected, "IVxVirusScan", "{D723D992-1F0F-4ED6-8E0D-53080E8E513A}");
  expectInterface(expected, "IVxSuspiciousScan", "{0B24B44C-1F07-4C52-A564-A4D7FFE8150F}");
  return expected;
}

// What unregistration leaves: the roots the system keeps.
RegistryContent unregisteredContent() { return {{"AppID", {}}, {"CLSID", {}}, {"Interface", {}}, {"TypeLib", {}}}; }

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(vxtest::ovrascanModule(), nullptr) << dlerror();
    registerServer = vxtest::moduleExport<DllRegisterServerFunction>("DllRegisterServer");
    unregisterServer = vxtest::moduleExport<DllUnregisterServerFunction>("DllUnregisterServer");
    install = vxtest::moduleExport<DllInstallFunction>("DllInstall");
    canUnloadNow = vxtest::moduleExport<DllCanUnloadNowFunction>("DllCanUnloadNow");
    ASSERT_TRUE(registerServer && unregisterServer && install && canUnloadNow);
  }

  RegistryContent content() const { return vxtest::dumpRegistry(platform::Registry(), kClasses); }

  vxtest::PrivateMachineFolder machine_;
  DllRegisterServerFunction registerServer = nullptr;
  DllUnregisterServerFunction unregisterServer = nullptr;
  DllInstallFunction install = nullptr;
  DllCanUnloadNowFunction canUnloadNow = nullptr;
};

TEST_F(RegistrationTest, RegisterThenUnregisterLeavesExactlyTheSystemRoots) {
  ASSERT_EQ(registerServer(), S_OK);
  EXPECT_EQ(content(), registeredContent());
  // Registering again changes nothing.
  ASSERT_EQ(registerServer(), S_OK);
  EXPECT_EQ(content(), registeredContent());

  ASSERT_EQ(unregisterServer(), S_OK);
  EXPECT_EQ(content(), unregisteredContent());
  // Without a registered type library a second unregistration fails as the
  // system's does.
  EXPECT_EQ(unregisterServer(), TYPE_E_REGISTRYACCESS);
}

TEST_F(RegistrationTest, DllInstallWritesWhatRegistrationWritesWhateverItsCommandLine) {
  for (const wchar_t* commandLine : {static_cast<const wchar_t*>(nullptr), L"", L"user", L"anything at all"}) {
    ASSERT_EQ(install(TRUE, commandLine), S_OK);
    EXPECT_EQ(content(), registeredContent());
    ASSERT_EQ(install(FALSE, commandLine), S_OK);
    EXPECT_EQ(content(), unregisteredContent());
  }
}

// Registration replaces stale keys of its own classes and leaves everything
// else alone, also on unregistration.
TEST_F(RegistrationTest, OtherContentSurvivesAndStaleClassKeysGo) {
  const platform::Registry registry;
  const std::string foreignClass = "CLSID\\{11111111-2222-3333-4444-555555555555}";
  ASSERT_EQ(registry.createKey(kClasses, foreignClass + "\\InprocServer32"), 0u);
  ASSERT_EQ(registry.createKey(kClasses, "AppID\\Other.DLL"), 0u);
  ASSERT_EQ(registry.createKey(kClasses, "CLSID\\" + kVirusScan + "\\Stale"), 0u);
  ASSERT_EQ(registry.createKey(kClasses, "Ovrascan.CoCVxVirusScan"), 0u);
  ASSERT_EQ(platform::setRegistryString(registry, kClasses, "Ovrascan.CoCVxVirusScan", "Extra", L"kept"), 0u);

  ASSERT_EQ(registerServer(), S_OK);
  RegistryContent expected = registeredContent();
  expected[foreignClass] = {};
  expected[foreignClass + "\\InprocServer32"] = {};
  expected["AppID\\Other.DLL"] = {};
  expected["Ovrascan.CoCVxVirusScan"]["Extra"] = "kept";
  EXPECT_EQ(content(), expected);

  ASSERT_EQ(unregisterServer(), S_OK);
  RegistryContent left = unregisteredContent();
  left[foreignClass] = {};
  left[foreignClass + "\\InprocServer32"] = {};
  left["AppID\\Other.DLL"] = {};
  EXPECT_EQ(content(), left);
}

// A registry that cannot be written fails registration with the store's error,
// and DllInstall leaves nothing half written.
TEST_F(RegistrationTest, FailuresAreReturnedUnchanged) {
  const fs::path elsewhere = fs::path(machine_.path()) / "elsewhere";
  fs::create_directory(elsewhere);
  fs::create_directory_symlink(elsewhere, fs::path(machine_.path()) / "Vexora");
  const HRESULT linked = HRESULT_FROM_WIN32(1921);
  EXPECT_EQ(registerServer(), linked);
  EXPECT_EQ(install(TRUE, L""), linked);
  EXPECT_EQ(unregisterServer(), linked);
  EXPECT_TRUE(fs::is_empty(elsewhere));
}

// Makes every write of an Interface key of HKEY_CLASSES_ROOT fail (1627), as a
// store that cannot take the type library's keys would.
void refuseInterfaceKeys() {
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open(platform::Registry::machineDatabasePath().c_str(), &raw), SQLITE_OK);
  const std::unique_ptr<sqlite3, int (*)(sqlite3*)> database(raw, &sqlite3_close);
  ASSERT_EQ(sqlite3_exec(database.get(),
                         "CREATE TRIGGER refuse_interfaces BEFORE INSERT ON registry_keys "
                         "WHEN NEW.hive = 2 AND NEW.folded LIKE 'interface\\%' "
                         "BEGIN SELECT RAISE(ABORT, 'refused'); END;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
}

// A registration that fails in the type library's writes is undone whole by
// DllInstall: the registry is as one that never saw it. After a failed
// DllRegisterServer, unregistration goes on past the type library that is not
// there and removes every other piece.
TEST_F(RegistrationTest, FailedRegistrationIsUndoneWhole) {
  const platform::Registry registry;
  for (const char* key : {"AppID", "CLSID", "Interface", "TypeLib",
                          "CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32"}) {
    ASSERT_EQ(registry.createKey(kClasses, key), 0u) << key;
  }
  ASSERT_EQ(platform::setRegistryString(registry, kClasses, "CLSID", "Kept", L"yes"), 0u);
  const RegistryContent untouched = content();
  refuseInterfaceKeys();
  const HRESULT refused = HRESULT_FROM_WIN32(1627);

  EXPECT_EQ(install(TRUE, L"user"), refused);
  EXPECT_EQ(content(), untouched);

  EXPECT_EQ(registerServer(), refused);
  EXPECT_NE(content(), untouched) << "the scripts' keys are there";
  EXPECT_EQ(unregisterServer(), TYPE_E_REGISTRYACCESS);
  EXPECT_EQ(content(), untouched);
}

// A client that knows only the ProgIDs creates both classes through the
// registry and drives them through IDispatch.
TEST_F(RegistrationTest, ClientsCreateBothClassesByProgId) {
  ASSERT_EQ(registerServer(), S_OK);
  const std::pair<const wchar_t*, CLSID> progIds[] = {
      {L"Ovrascan.CoCVxVirusScan", CLSID_CoCVxVirusScan},
      {L"Ovrascan.CoCVxVirusScan.1", CLSID_CoCVxVirusScan},
      {L"Ovrascan.NoSuchClass", CLSID_NULL},
      {L"Ovrascan.VxSuspiciousScan", CLSID_VxSuspiciousScan},
      {L"Ovrascan.VxSuspiciousScan.1", CLSID_VxSuspiciousScan},
  };
  for (const auto& [progId, expected] : progIds) {
    CLSID clsid = CLSID_NULL;
    const HRESULT hr = CLSIDFromProgID(progId, &clsid);
    EXPECT_EQ(hr, expected == CLSID_NULL ? CO_E_CLASSSTRING : S_OK) << progId;
    EXPECT_EQ(clsid, expected);
    if (FAILED(hr)) continue;
    com_ptr<IDispatch> object;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void()), S_OK);
    EXPECT_EQ(canUnloadNow(), S_FALSE);
  }
  EXPECT_EQ(canUnloadNow(), S_OK);
}

// Every module of every process, test files only.
constexpr wchar_t kConfiguration[] =
    LR"(<scanconfig><maxscancount value="65535"/><scantype><item type="test"/></scantype>)"
    LR"(<source><item type="processes"/></source></scanconfig>)";

TEST_F(RegistrationTest, ScanThroughIDispatchOfAnActivatedObject) {
  ASSERT_EQ(registerServer(), S_OK);
  CLSID clsid = CLSID_NULL;
  ASSERT_EQ(CLSIDFromProgID(L"Ovrascan.CoCVxVirusScan", &clsid), S_OK);
  com_ptr<IDispatch> scan;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, IID_IDispatch, scan.put_void()), S_OK);

  vxtest::ScriptRecorder script;
  const VARIANT sink = script.asVariant();
  platform::automation::UniqueVariant status;
  ASSERT_EQ(platform::automation::invokeByName(*scan, L"Register", {&sink, 1}, status.put()), S_OK);
  EXPECT_EQ(status.get()->ulVal, 0u);

  platform::automation::UniqueVariant configuration;
  configuration.get()->vt = VT_BSTR;
  configuration.get()->bstrVal = SysAllocString(kConfiguration);
  ASSERT_EQ(platform::automation::invokeByName(*scan, L"SetConfig", {configuration.get(), 1}, status.put()), S_OK);
  EXPECT_EQ(status.get()->ulVal, 0u);

  VARIANT scanType;
  VariantInit(&scanType);
  scanType.vt = VT_UI4;
  scanType.ulVal = 1;  // scan only
  platform::automation::UniqueVariant started;
  ASSERT_EQ(platform::automation::invokeByName(*scan, L"Scan", {&scanType, 1}, started.put()), S_OK);
  ASSERT_EQ(started.get()->ulVal, 0u);
  ASSERT_TRUE(script.waitFor(L"OnComplete", 1, std::chrono::minutes(5)));
  // A scan (1) that completed (0).
  EXPECT_EQ(script.calls(L"OnComplete").front().arguments, (std::vector{vxtest::i4(1), vxtest::i4(0)}));
  EXPECT_GT(script.count(L"Progress"), 0u);

  VARIANT reportType;
  VariantInit(&reportType);
  reportType.vt = VT_UI4;
  reportType.ulVal = 1;  // the complete report
  platform::automation::UniqueVariant report;
  ASSERT_EQ(platform::automation::invokeByName(*scan, L"GetReport", {&reportType, 1}, report.put()), S_OK);
  ASSERT_EQ(report.get()->vt, VT_BSTR);
  EXPECT_NE(std::wstring(report.get()->bstrVal).find(L"<"), std::wstring::npos);

  // The script's registration outlives the object unless it is cleared.
  VARIANT clearCallbacks;
  VariantInit(&clearCallbacks);
  clearCallbacks.vt = VT_BOOL;
  clearCallbacks.boolVal = VARIANT_TRUE;
  ASSERT_EQ(platform::automation::invokeByName(*scan, L"Uninitialize", {&clearCallbacks, 1}, status.put()), S_OK);
  EXPECT_EQ(status.get()->ulVal, 0u);
}

// Activation refuses what is not a registered, loadable in-process server.
TEST_F(RegistrationTest, ActivationFailuresHaveTheSystemsCodes) {
  const platform::Registry registry;
  const CLSID unknown{0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
  const std::string key = "CLSID\\{11111111-2222-3333-4444-555555555555}\\InprocServer32";
  com_ptr<IUnknown> object;
  EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void()), REGDB_E_CLASSNOTREG);
  CLSID clsid;
  EXPECT_EQ(CLSIDFromProgID(L"No.Such.Class", &clsid), CO_E_CLASSSTRING);

  const fs::path folder = machine_.path();
  const fs::path engine = fs::path(OVRASCAN_MODULE).parent_path() / "libqelda64a.so";
  fs::create_directory_symlink(fs::path(OVRASCAN_MODULE).parent_path(), folder / "linked");
  std::FILE* text = std::fopen((folder / "text.so").c_str(), "w");
  ASSERT_NE(text, nullptr);
  std::fputs("not a library", text);
  std::fclose(text);
  const std::pair<std::string, HRESULT> servers[] = {
      {(folder / "missing.so").string(), HRESULT_FROM_WIN32(2)},
      {"relative/libovrascan.so", HRESULT_FROM_WIN32(2)},
      {(folder / "linked" / "libovrascan.so").string(), HRESULT_FROM_WIN32(1921)},
      {(folder / "text.so").string(), HRESULT_FROM_WIN32(126)},
      {engine.string(), CO_E_ERRORINDLL},
  };
  ASSERT_EQ(registry.createKey(kClasses, key), 0u);
  for (const auto& [server, expected] : servers) {
    ASSERT_EQ(platform::setRegistryString(registry, kClasses, key, "", std::wstring(server.begin(), server.end())),
              0u);
    EXPECT_EQ(CoCreateInstance(unknown, nullptr, CLSCTX_ALL, IID_IUnknown, object.put_void()), expected) << server;
  }
}

}  // namespace

namespace {

// Threads activating at once load the registered module once and get objects
// from it.
TEST_F(RegistrationTest, ConcurrentActivation) {
  ASSERT_EQ(registerServer(), S_OK);
  constexpr int kThreads = 4;
  std::latch start(kThreads);
  std::vector<HRESULT> results(kThreads, E_FAIL);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int round = 0; round < 20; ++round) {
        CLSID clsid = CLSID_NULL;
        com_ptr<IDispatch> object;
        results[t] = CLSIDFromProgID(L"Ovrascan.CoCVxVirusScan", &clsid);
        if (SUCCEEDED(results[t])) {
          results[t] = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void());
        }
        if (FAILED(results[t])) return;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const HRESULT result : results) EXPECT_EQ(result, S_OK);
  EXPECT_EQ(platform::automation::inprocServerCanUnloadNow(CLSID_CoCVxVirusScan), S_OK);
}

}  // namespace
