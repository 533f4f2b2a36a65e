#include "tools/ovrascan/ComponentModule.h"

#include <dlfcn.h>
#include <fcntl.h>

#include <cwchar>

#include "platform/ModulePath.h"
#include "platform/Registry.h"
#include "platform/TrustedFile.h"
#include "platform/Utf8.h"
#include "platform/automation/Activation.h"
#include "tools/ovrascan/Diagnostics.h"

using platform::automation::com_ptr;

namespace {

// Why the registry database was refused, in words.
std::string untrustedRegistryReason() {
  const std::string path = platform::Registry::machineDatabasePath();
  platform::UniqueFileDescriptor file;
  const platform::TrustCheck check = platform::openTrustedFile(path, O_RDONLY, 0, file);
  return check.ok() ? path + " (see the system log)" : check.describe();
}

}  // namespace

ComponentModule::~ComponentModule() {
  if (!library_.isOpen()) return;
  // An extra reference that is never given back keeps the module mapped after the
  // owner's dlclose (see the header for why).
  if (dlopen(path_.c_str(), RTLD_NOW | RTLD_NOLOAD) == nullptr) {
    Diagnostics::error("cannot keep " + path_ + " loaded: " + platform::DynamicLibrary::errorText());
  }
}

std::string ComponentModule::load() {
  std::string folder;
  if (const std::uint32_t error = platform::hostExecutableFolder(folder); error != 0) {
    return "cannot find the folder of the executable (error " + Diagnostics::codeText(error) + ")";
  }
  path_ = folder + "/" + kFileName;
  // Root loads it: nobody else may have been able to write it or its folders.
  platform::UniqueFileDescriptor module;
  if (const platform::TrustCheck check = platform::openTrustedFile(path_, O_RDONLY, 0, module); !check.ok()) {
    return "will not load the component module: " + check.describe();
  }
  if (library_.open(path_) != 0) {
    return "cannot load the component module " + path_ + ": " + platform::DynamicLibrary::errorText();
  }
  std::uint32_t error = 0;
  getClassObject_ = reinterpret_cast<DllGetClassObjectFunction>(library_.symbol("DllGetClassObject", error));
  canUnloadNow_ = reinterpret_cast<DllCanUnloadNowFunction>(library_.symbol("DllCanUnloadNow", error));
  if (getClassObject_ == nullptr || canUnloadNow_ == nullptr) {
    const std::string missing = getClassObject_ == nullptr ? "DllGetClassObject" : "DllCanUnloadNow";
    getClassObject_ = nullptr;
    canUnloadNow_ = nullptr;
    library_.close();
    return "the component module " + path_ + " does not export " + missing;
  }
  return {};
}

std::string ComponentModule::activate() {
  std::wstring registered;
  if (const HRESULT hr = platform::automation::inprocServerPath(CLSID_CoCVxVirusScan, registered); hr == E_ACCESSDENIED) {
    return "the registry database is not trusted: " + untrustedRegistryReason();
  } else if (FAILED(hr)) {
    return "the component is not registered (run ovrascan register): CLSID_CoCVxVirusScan has no in-process "
           "server (" + Diagnostics::codeText(static_cast<std::uint32_t>(hr)) + ")";
  }
  path_ = platform::encodeUtf8(registered.data(), registered.size());
  activated_ = true;
  return {};
}

HRESULT ComponentModule::registerServer(bool registering) const {
  const char* name = registering ? "DllRegisterServer" : "DllUnregisterServer";
  std::uint32_t error = 0;
  const auto entry = reinterpret_cast<DllRegisterServerFunction>(library_.symbol(name, error));
  if (entry == nullptr) return HRESULT_FROM_WIN32(error == 0 ? platform::kSymbolNotFound : error);
  return entry();
}

HRESULT ComponentModule::activateObject(const wchar_t* progId, REFIID iid, const char* iidName, void** object,
                                        std::string& step) const {
  const std::string progIdText = platform::encodeUtf8(progId, std::wcslen(progId));
  CLSID clsid{};
  if (const HRESULT hr = CLSIDFromProgID(progId, &clsid); FAILED(hr)) {
    step = "CLSIDFromProgID(" + progIdText + ")";
    return hr;
  }
  if (const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, object); FAILED(hr)) {
    step = "CoCreateInstance(" + progIdText + ", " + iidName + ")";
    return hr;
  }
  return S_OK;
}

HRESULT ComponentModule::createVirusScan(com_ptr<IVxVirusScan>& object, std::string& step) const {
  object.reset();
  if (activated_) return activateObject(kVirusScanProgId, IID_IVxVirusScan, "IID_IVxVirusScan", object.put_void(), step);
  return createObject(CLSID_CoCVxVirusScan, "CLSID_CoCVxVirusScan", IID_IVxVirusScan, "IID_IVxVirusScan",
                      object.put_void(), step);
}

HRESULT ComponentModule::createSuspiciousScan(com_ptr<IVxSuspiciousScan>& object, std::string& step) const {
  object.reset();
  if (activated_) {
    return activateObject(kSuspiciousScanProgId, IID_IVxSuspiciousScan, "IID_IVxSuspiciousScan", object.put_void(),
                          step);
  }
  return createObject(CLSID_VxSuspiciousScan, "CLSID_VxSuspiciousScan", IID_IVxSuspiciousScan,
                      "IID_IVxSuspiciousScan", object.put_void(), step);
}

HRESULT ComponentModule::createObject(REFCLSID clsid, const char* clsidName, REFIID iid, const char* iidName,
                                      void** object, std::string& step) const {
  if (getClassObject_ == nullptr) {
    step = "DllGetClassObject";
    return E_UNEXPECTED;
  }
  com_ptr<IClassFactory> factory;
  if (const HRESULT hr = getClassObject_(clsid, IID_IClassFactory, factory.put_void()); FAILED(hr)) {
    step = std::string("DllGetClassObject(") + clsidName + ")";
    return hr;
  }
  const HRESULT hr = factory->CreateInstance(nullptr, iid, object);
  if (FAILED(hr) || *object == nullptr) {
    step = std::string("IClassFactory::CreateInstance(") + iidName + ")";
    return FAILED(hr) ? hr : E_POINTER;
  }
  return S_OK;
}

HRESULT ComponentModule::canUnloadNow() const {
  if (activated_) return platform::automation::inprocServerCanUnloadNow(CLSID_CoCVxVirusScan);
  return canUnloadNow_ == nullptr ? S_OK : canUnloadNow_();
}
