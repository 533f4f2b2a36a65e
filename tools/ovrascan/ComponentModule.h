#pragma once
// ComponentModule: the scan component's module, libovrascan.so, reached only
// through its exported entry points, as an automation runtime reaches an
// in-process server. Either
// - loaded from the folder of the host's executable: the class object from
//   DllGetClassObject makes the objects, and DllCanUnloadNow says whether
//   anything of the module is still alive; or
// - activated: the objects are created by ProgID through the registry store
//   (CLSIDFromProgID, CoCreateInstance), from whichever module is registered.
//
// The module stays mapped until the process exits, whatever DllCanUnloadNow says
// (the host asks it as a check that nothing of the component is left alive). An
// exiting host gains nothing from unloading, and the module keeps process-wide
// state that lives until the process ends (the log stream), which an unload would
// orphan.
//
// Thread-safety: load() and destruction belong to one thread; createVirusScan(),
// createSuspiciousScan() and canUnloadNow() may be called from any thread once loaded.
#include <string>

#include "component/OvrascanExports.h"
#include "component/OvrascanLib.h"
#include "suspicious/VxSuspiciousScanLib.h"
#include "platform/DynamicLibrary.h"
#include "platform/automation/ComPtr.h"

class ComponentModule {
 public:
  static constexpr char kFileName[] = "libovrascan.so";

  ComponentModule() = default;
  ~ComponentModule();
  ComponentModule(const ComponentModule&) = delete;
  ComponentModule& operator=(const ComponentModule&) = delete;

  static constexpr wchar_t kVirusScanProgId[] = L"Ovrascan.CoCVxVirusScan";
  static constexpr wchar_t kSuspiciousScanProgId[] = L"Ovrascan.VxSuspiciousScan";

  // Loads the module beside the executable. Returns an empty text, or a
  // one-line description of what failed.
  std::string load();
  // Creates the objects through registration from now on; path() becomes the
  // registered module of the virus-scan class. Returns an empty text, or what
  // failed (the class is not registered).
  std::string activate();
  // DllRegisterServer or DllUnregisterServer of the loaded module.
  HRESULT registerServer(bool registering) const;
  const std::string& path() const { return path_; }

  // A new virus-scan object through the class object; the failing step's name goes
  // to `step` on failure.
  HRESULT createVirusScan(platform::automation::com_ptr<IVxVirusScan>& object, std::string& step) const;
  // A new suspicious-scan object, likewise.
  HRESULT createSuspiciousScan(platform::automation::com_ptr<IVxSuspiciousScan>& object, std::string& step) const;
  // DllCanUnloadNow: S_OK when no object and no server lock is left.
  HRESULT canUnloadNow() const;

 private:
  HRESULT createObject(REFCLSID clsid, const char* clsidName, REFIID iid, const char* iidName, void** object,
                       std::string& step) const;
  HRESULT activateObject(const wchar_t* progId, REFIID iid, const char* iidName, void** object,
                         std::string& step) const;

  std::string path_;
  platform::DynamicLibrary library_;
  DllGetClassObjectFunction getClassObject_ = nullptr;
  DllCanUnloadNowFunction canUnloadNow_ = nullptr;
  bool activated_ = false;
};
