// Registration of the module, its classes and its type library in the registry
// store, from the scripts and the type library the module carries.
#include "component/OvrascanResources.h"
#include "component/VxOvrascanModule.h"
#include "platform/ModulePath.h"
#include "platform/Utf8.h"
#include "platform/automation/IdlTypeLibrary.h"
#include "platform/automation/TypeLibraryRegistration.h"

namespace {

using platform::automation::IdlTypeLibrary;

// The file this code was loaded from: the module, or the program that links
// the component in.
HRESULT modulePath(std::wstring& path) {
  static const char anchor = 0;
  std::string narrow;
  if (const std::uint32_t error = platform::modulePathOf(&anchor, narrow); error != 0) {
    return HRESULT_FROM_WIN32(error);
  }
  path = platform::decodeUtf8(narrow.data(), narrow.size());
  return S_OK;
}

HRESULT typeLibrary(IdlTypeLibrary& library) {
  auto read = platform::automation::readIdlTypeLibrary(ovrascanTypeLibraryResource());
  if (!read) return TYPE_E_CANTLOADLIBRARY;
  library = std::move(*read);
  return S_OK;
}

HRESULT registerTypeLibrary() {
  IdlTypeLibrary library;
  std::wstring path;
  if (const HRESULT hr = typeLibrary(library); FAILED(hr)) return hr;
  if (const HRESULT hr = modulePath(path); FAILED(hr)) return hr;
  return platform::automation::registerTypeLibrary(library, path, path.substr(0, path.rfind(L'/')));
}

HRESULT unregisterTypeLibrary() {
  IdlTypeLibrary library;
  if (const HRESULT hr = typeLibrary(library); FAILED(hr)) return hr;
  return platform::automation::unregisterTypeLibrary(library);
}

}  // namespace

HRESULT COvrascanModule::AddCommonRGSReplacements(platform::automation::Registrar& registrar) {
  return registrar.AddReplacement(L"APPID", platform::automation::formatGuid(APPID_Ovrascan).c_str());
}

HRESULT COvrascanModule::UpdateRegistryFromResource(int resourceId, BOOL bRegister) {
  const std::string_view script = ovrascanRegistryScript(resourceId);
  if (script.empty()) return HRESULT_FROM_WIN32(1813);  // ERROR_RESOURCE_TYPE_NOT_FOUND
  std::wstring path;
  if (const HRESULT hr = modulePath(path); FAILED(hr)) return hr;
  platform::automation::Registrar registrar;
  if (const HRESULT hr = registrar.AddReplacement(L"MODULE", path.c_str()); FAILED(hr)) return hr;
  if (const HRESULT hr = AddCommonRGSReplacements(registrar); FAILED(hr)) return hr;
  return bRegister ? registrar.StringRegister(script) : registrar.StringUnregister(script);
}

HRESULT COvrascanModule::RegisterServer(BOOL bRegTypeLib) {
  if (const HRESULT hr = UpdateRegistryFromResource(IDR_OVRASCAN, TRUE); FAILED(hr)) return hr;
  // The classes implement no component categories, so registering a class is
  // running its script.
  for (const VxObjectMapEntry& entry : objectMap()) {
    if (const HRESULT hr = UpdateRegistryFromResource(entry.registryScript, TRUE); FAILED(hr)) return hr;
  }
  return bRegTypeLib ? registerTypeLibrary() : S_OK;
}

// Every piece is unregistered even when an earlier one fails or is already
// gone (a type library that is not registered is TYPE_E_REGISTRYACCESS), so that
// what a failed registration left can always be removed; the first failure is
// returned.
HRESULT COvrascanModule::UnregisterServer(BOOL bUnRegTypeLib) {
  HRESULT first = S_OK;
  const auto note = [&first](HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  };
  for (const VxObjectMapEntry& entry : objectMap()) note(UpdateRegistryFromResource(entry.registryScript, FALSE));
  if (bUnRegTypeLib) note(unregisterTypeLibrary());
  note(UpdateRegistryFromResource(IDR_OVRASCAN, FALSE));
  return first;
}
