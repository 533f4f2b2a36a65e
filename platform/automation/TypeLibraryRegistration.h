#pragma once
// Registering a type library in the registry store, as the system records type
// libraries (all under HKEY_CLASSES_ROOT):
//
//   TypeLib\{LIBID}\<major>.<minor>               = help string
//   TypeLib\{LIBID}\<major>.<minor>\FLAGS          = "0"
//   TypeLib\{LIBID}\<major>.<minor>\<lcid>\win64   = path of the file holding it
//   TypeLib\{LIBID}\<major>.<minor>\HELPDIR        = help folder
//   Interface\{IID}                                = interface name
//   Interface\{IID}\ProxyStubClsid, ProxyStubClsid32 = the automation marshaller
//   Interface\{IID}\TypeLib                        = {LIBID}, value "Version" = "<major>.<minor>"
//
// Version numbers and the lcid are written in hexadecimal without leading
// zeros. Interfaces are recorded when automation can marshal them: dual and
// oleautomation interfaces (the universal marshaller) and dispinterfaces (the
// dispatch marshaller); plain IUnknown interfaces are not.
//
// A registration that fails part way undoes what it wrote before the failure:
// keys and values it made are removed, values it replaced get their old content.
//
// Unregistering removes the library's version key (and the LIBID key when no
// other version is left) and every Interface key of the library that still
// names this library; TYPE_E_REGISTRYACCESS when the library is not
// registered. Registry failures come back as HRESULT_FROM_WIN32 of their code.
//
// Safe from any thread (the registry store is).
#include <string>

#include "platform/Registry.h"
#include "platform/automation/IdlTypeLibrary.h"

namespace platform::automation {

// {00020424-0000-0000-C000-000000000046} and {00020420-0000-0000-C000-000000000046}.
inline constexpr CLSID CLSID_PSOAInterface{0x00020424, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr CLSID CLSID_PSDispatch{0x00020420, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

HRESULT registerTypeLibrary(const IdlTypeLibrary& library, const std::wstring& fullPath, const std::wstring& helpDir,
                            const platform::Registry& registry = {});
HRESULT unregisterTypeLibrary(const IdlTypeLibrary& library, const platform::Registry& registry = {});

// "TypeLib\{LIBID}\<major>.<minor>", the key that says the library is registered.
std::string typeLibraryVersionKey(const IdlTypeLibrary& library);

}  // namespace platform::automation
