#pragma once
// ComponentModule: the scan component's module, libovrascan.so, loaded from the
// folder of the host's executable and reached only through its exported entry
// points, as an automation runtime reaches an in-process server: the class object
// from DllGetClassObject makes the virus-scan object, and DllCanUnloadNow says
// whether anything of the module is still alive.
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

  // Loads the module beside the executable. Returns an empty text, or a
  // one-line description of what failed.
  std::string load();
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

  std::string path_;
  platform::DynamicLibrary library_;
  DllGetClassObjectFunction getClassObject_ = nullptr;
  DllCanUnloadNowFunction canUnloadNow_ = nullptr;
};
