#include "platform/automation/TypeLibraryRegistration.h"

#include <cstdio>
#include <vector>

#include "platform/RegistryString.h"
#include "platform/Utf8.h"

namespace platform::automation {
namespace {

constexpr RegistryHive kClasses = RegistryHive::ClassesRoot;
constexpr std::uint32_t kMissing = 2;

std::string narrow(const std::wstring& text) { return encodeUtf8(text.data(), text.size()); }

std::string hexadecimal(std::uint32_t number) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", number);
  return text;
}

std::string versionText(const IdlTypeLibrary& library) {
  return hexadecimal(library.majorVersion) + "." + hexadecimal(library.minorVersion);
}

std::string interfaceKey(const IdlInterface& declared) { return "Interface\\" + narrow(formatGuid(declared.iid)); }

bool marshalledByAutomation(const IdlInterface& declared) {
  return declared.dispinterface || declared.dual || declared.oleAutomation;
}

// Writes the string values in order; the first failure ends it.
struct StringValue {
  std::string key;
  std::string name;
  std::wstring text;
};

std::uint32_t writeAll(const platform::Registry& registry, const std::vector<StringValue>& values) {
  for (const StringValue& value : values) {
    if (const std::uint32_t error = registry.createKey(kClasses, value.key); error != 0) return error;
    if (const std::uint32_t error = setRegistryString(registry, kClasses, value.key, value.name, value.text);
        error != 0) {
      return error;
    }
  }
  return 0;
}

std::vector<StringValue> interfaceValues(const IdlTypeLibrary& library, const IdlInterface& declared) {
  const std::string key = interfaceKey(declared);
  const std::wstring marshaller = formatGuid(declared.dispinterface ? CLSID_PSDispatch : CLSID_PSOAInterface);
  const std::string version = versionText(library);
  return {{key, "", declared.name},
          {key + "\\ProxyStubClsid", "", marshaller},
          {key + "\\ProxyStubClsid32", "", marshaller},
          {key + "\\TypeLib", "", formatGuid(library.libid)},
          {key + "\\TypeLib", "Version", std::wstring(version.begin(), version.end())}};
}

std::uint32_t deleteTreeIfPresent(const platform::Registry& registry, const std::string& key) {
  const std::uint32_t error = registry.deleteTree(kClasses, key);
  return error == kMissing ? 0 : error;
}

}  // namespace

std::string typeLibraryVersionKey(const IdlTypeLibrary& library) {
  return "TypeLib\\" + narrow(formatGuid(library.libid)) + "\\" + versionText(library);
}

HRESULT registerTypeLibrary(const IdlTypeLibrary& library, const std::wstring& fullPath, const std::wstring& helpDir,
                            const platform::Registry& registry) {
  const std::string versionKey = typeLibraryVersionKey(library);
  std::vector<StringValue> values{{versionKey, "", library.helpString},
                                  {versionKey + "\\FLAGS", "", L"0"},
                                  {versionKey + "\\" + hexadecimal(library.lcid) + "\\win64", "", fullPath},
                                  {versionKey + "\\HELPDIR", "", helpDir}};
  for (const IdlInterface& declared : library.interfaces) {
    if (!marshalledByAutomation(declared)) continue;
    const auto more = interfaceValues(library, declared);
    values.insert(values.end(), more.begin(), more.end());
  }
  return HRESULT_FROM_WIN32(writeAll(registry, values));
}

HRESULT unregisterTypeLibrary(const IdlTypeLibrary& library, const platform::Registry& registry) {
  const std::string versionKey = typeLibraryVersionKey(library);
  if (const std::uint32_t error = registry.openKey(kClasses, versionKey); error != 0) {
    return error == kMissing ? TYPE_E_REGISTRYACCESS : HRESULT_FROM_WIN32(error);
  }
  for (const IdlInterface& declared : library.interfaces) {
    // An interface another library has registered since is left to it.
    const auto owner = readRegistryString(registry, kClasses, interfaceKey(declared) + "\\TypeLib", "");
    if (!owner || *owner != formatGuid(library.libid)) continue;
    if (const std::uint32_t error = deleteTreeIfPresent(registry, interfaceKey(declared)); error != 0) {
      return HRESULT_FROM_WIN32(error);
    }
  }
  if (const std::uint32_t error = deleteTreeIfPresent(registry, versionKey); error != 0) {
    return HRESULT_FROM_WIN32(error);
  }
  const std::string libraryKey = "TypeLib\\" + narrow(formatGuid(library.libid));
  std::vector<std::string> versionsLeft;
  if (const std::uint32_t error = registry.enumerateSubkeys(kClasses, libraryKey, versionsLeft); error != 0) {
    return HRESULT_FROM_WIN32(error);
  }
  if (versionsLeft.empty()) return HRESULT_FROM_WIN32(deleteTreeIfPresent(registry, libraryKey));
  return S_OK;
}

}  // namespace platform::automation
