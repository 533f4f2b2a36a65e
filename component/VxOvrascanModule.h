#pragma once
// COvrascanModule: the component module's process-wide bookkeeping, as a COM
// server module keeps it.
// - The lock count: every live object and every client holding a class object
//   or a LockServer lock holds one; the module may be unloaded when none is held.
// - The object map: the creatable classes in order (CoCVxVirusScan,
//   VxSuspiciousScan), each with its CLSID, its registry script, its class
//   object (created on the first request and kept while the module is loaded)
//   and its instance creation.
// - Registration of the module, its classes and its type library in the
//   registry store (component/OvrascanRegistration.cpp).
//
// Thread-safety: every method is safe from any thread; the count is atomic and
// class objects are created under the module's lock, one at a time.
#include <array>
#include <atomic>
#include <mutex>
#include <string>

#include "platform/automation/Automation.h"
#include "platform/automation/ComPtr.h"
#include "platform/automation/Registrar.h"

// {F570E399-76E6-4B51-B522-2BA54549FA93}
inline constexpr GUID APPID_Ovrascan{0xF570E399, 0x76E6, 0x4B51, {0xB5, 0x22, 0x2B, 0xA5, 0x45, 0x49, 0xFA, 0x93}};

// One creatable class of the module.
struct VxObjectMapEntry {
  const CLSID* clsid;
  int registryScript;  // resource id of the class's registry script
  // A new class object of the class, with one reference.
  HRESULT (*createClassObject)(IUnknown** classObject);
};

class COvrascanModule {
 public:
  // The module of this process, created on first use.
  static COvrascanModule& instance();

  virtual ~COvrascanModule() = default;
  // Each returns the new count.
  virtual LONG Lock();
  virtual LONG Unlock();
  virtual LONG GetLockCount() const;
  // The process's global interface table, with a reference added; E_POINTER for a
  // null target.
  virtual HRESULT GetGITPtr(IGlobalInterfaceTable** table);
  // Adds the replacements every script of the module uses: APPID.
  virtual HRESULT AddCommonRGSReplacements(platform::automation::Registrar& registrar);

  // DllGetClassObject: E_POINTER for a null target; CLASS_E_CLASSNOTAVAILABLE for
  // a class not in the object map or when no class object results; otherwise
  // the class object's QueryInterface result.
  HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv);

  // Registration of the module script, every class's script and (when asked)
  // the type library; unregistration in reverse. The first failure ends either.
  HRESULT RegisterServer(BOOL bRegTypeLib);
  HRESULT UnregisterServer(BOOL bUnRegTypeLib);
  // Runs one of the module's registry scripts with the module's replacements.
  HRESULT UpdateRegistryFromResource(int resourceId, BOOL bRegister);

  // The object map, in registration order.
  static const std::array<VxObjectMapEntry, 2>& objectMap();

  // One module lock for the life of its holder, as objects take it.
  class LockHolder {
   public:
    LockHolder() { COvrascanModule::instance().Lock(); }
    ~LockHolder() { COvrascanModule::instance().Unlock(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
  };

 private:
  std::atomic<LONG> locks_{0};
  std::mutex classObjectsLock_;
  std::array<platform::automation::com_ptr<IUnknown>, 2> classObjects_;  // by object-map index
};
