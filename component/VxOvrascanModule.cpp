#include "component/VxOvrascanModule.h"

#include "component/CoCVxVirusScan.h"
#include "component/CoVxSuspiciousScan.h"
#include "component/OvrascanResources.h"
#include "component/VxClassFactory.h"

COvrascanModule& COvrascanModule::instance() {
  static COvrascanModule module;
  return module;
}

const std::array<VxObjectMapEntry, 2>& COvrascanModule::objectMap() {
  static const std::array<VxObjectMapEntry, 2> map{{
      {&CLSID_CoCVxVirusScan, IDR_COCVXVIRUSSCAN, &CVxClassFactory<CoCVxVirusScan>::create},
      {&CLSID_VxSuspiciousScan, IDR_VXSUSPICIOUSSCAN, &CVxClassFactory<CoVxSuspiciousScan>::create},
  }};
  return map;
}

LONG COvrascanModule::Lock() { return ++locks_; }

LONG COvrascanModule::Unlock() { return --locks_; }

LONG COvrascanModule::GetLockCount() const { return locks_; }

HRESULT COvrascanModule::GetGITPtr(IGlobalInterfaceTable** table) {
  if (table == nullptr) return E_POINTER;
  *table = &platform::automation::globalInterfaceTable();
  (*table)->AddRef();
  return S_OK;
}

HRESULT COvrascanModule::GetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  const auto& map = objectMap();
  for (std::size_t index = 0; index < map.size(); ++index) {
    if (!(*map[index].clsid == rclsid)) continue;
    platform::automation::com_ptr<IUnknown> classObject;
    {
      const std::lock_guard lock(classObjectsLock_);
      if (!classObjects_[index]) {
        IUnknown* created = nullptr;
        if (const HRESULT hr = map[index].createClassObject(&created); FAILED(hr)) return hr;
        classObjects_[index] = platform::automation::com_ptr<IUnknown>::attach(created);
      }
      classObject = classObjects_[index];
    }
    if (!classObject) return CLASS_E_CLASSNOTAVAILABLE;
    const HRESULT hr = classObject->QueryInterface(riid, ppv);
    return FAILED(hr) || *ppv != nullptr ? hr : CLASS_E_CLASSNOTAVAILABLE;
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}
