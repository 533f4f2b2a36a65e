#include "platform/automation/TypeLibraryRegistration.h"

#include <cstdio>
#include <optional>
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

// Writes the string values in order; the first failure ends it and undoes what
// was written before it: values that were there get their old content back,
// values and keys that were not are removed again.
struct StringValue {
  std::string key;
  std::string name;
  std::wstring text;
};

class WriteJournal {
 public:
  explicit WriteJournal(const platform::Registry& registry) : registry_(registry) {}

  // Notes the keys on the way to `key` that do not exist yet.
  void beforeCreate(const std::string& key) {
    for (std::size_t end = key.find('\\');; end = key.find('\\', end + 1)) {
      const std::string level = key.substr(0, end);
      if (registry_.openKey(kClasses, level) == kMissing) createdKeys_.push_back(level);
      if (end == std::string::npos) return;
    }
  }
  // Notes the value as it is before it is set.
  void beforeSet(const std::string& key, const std::string& name) {
    RegistryValue old;
    const bool existed = registry_.queryValue(kClasses, key, name, old) == 0;
    values_.push_back({key, name, existed ? std::optional<RegistryValue>(std::move(old)) : std::nullopt});
  }
  // Puts back what was noted, newest first.
  void undo() const {
    for (auto value = values_.rbegin(); value != values_.rend(); ++value) {
      if (value->old) {
        registry_.setValue(kClasses, value->key, value->name, value->old->type, value->old->data);
      } else {
        registry_.deleteValue(kClasses, value->key, value->name);
      }
    }
    for (auto key = createdKeys_.rbegin(); key != createdKeys_.rend(); ++key) registry_.deleteKey(kClasses, *key);
  }

 private:
  struct OldValue {
    std::string key;
    std::string name;
    std::optional<RegistryValue> old;
  };
  const platform::Registry& registry_;
  std::vector<std::string> createdKeys_;
  std::vector<OldValue> values_;
};

std::uint32_t writeAll(const platform::Registry& registry, const std::vector<StringValue>& values) {
  WriteJournal journal(registry);
  for (const StringValue& value : values) {
    journal.beforeCreate(value.key);
    std::uint32_t error = registry.createKey(kClasses, value.key);
    if (error == 0) {
      journal.beforeSet(value.key, value.name);
      error = setRegistryString(registry, kClasses, value.key, value.name, value.text);
    }
    if (error != 0) {
      journal.undo();
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
