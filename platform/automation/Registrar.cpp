#include "platform/automation/Registrar.h"

#include <vector>

#include "platform/RegistryKeyPath.h"
#include "platform/Utf8.h"
#include "platform/automation/RegistryScript.h"

namespace platform::automation {
namespace {

constexpr std::uint32_t kMissing = 2;

std::string narrow(LPCOLESTR text) {
  const std::wstring_view view(text);
  return encodeUtf8(view.data(), view.size());
}

std::string childPath(const std::string& parent, const std::string& name) {
  return parent.empty() ? name : parent + "\\" + name;
}

// Applies a read script to one registry, in registration or unregistration mode.
class ScriptRun {
 public:
  ScriptRun(const Registry& registry, RegistryHive hive) : registry_(registry), hive_(hive) {}

  std::uint32_t registerKeys(const std::string& parent, const std::vector<RegistryScriptKey>& keys) const {
    for (const RegistryScriptKey& key : keys) {
      if (const std::uint32_t error = registerKey(childPath(parent, key.name), key); error != 0) return error;
    }
    return 0;
  }

  std::uint32_t unregisterKeys(const std::string& parent, const std::vector<RegistryScriptKey>& keys) const {
    for (const RegistryScriptKey& key : keys) {
      if (const std::uint32_t error = unregisterKey(childPath(parent, key.name), key); error != 0) return error;
    }
    return 0;
  }

 private:
  using Removal = RegistryScriptKey::Removal;

  std::uint32_t deleteTreeIfPresent(const std::string& path) const {
    const std::uint32_t error = registry_.deleteTree(hive_, path);
    return error == kMissing ? 0 : error;
  }

  std::uint32_t registerKey(const std::string& path, const RegistryScriptKey& key) const {
    if (key.removal == Removal::Delete) return deleteTreeIfPresent(path);
    if (key.removal == Removal::ForceRemove) {
      if (const std::uint32_t error = deleteTreeIfPresent(path); error != 0) return error;
    }
    if (const std::uint32_t error = registry_.createKey(hive_, path); error != 0) return error;
    if (key.defaultValue) {
      const std::uint32_t error =
          registry_.setValue(hive_, path, "", key.defaultValue->type, key.defaultValue->data);
      if (error != 0) return error;
    }
    for (const auto& [name, value] : key.values) {
      if (const std::uint32_t error = registry_.setValue(hive_, path, name, value.type, value.data); error != 0) {
        return error;
      }
    }
    return registerKeys(path, key.subkeys);
  }

  std::uint32_t unregisterKey(const std::string& path, const RegistryScriptKey& key) const {
    if (key.removal == Removal::Delete) return 0;
    if (key.removal == Removal::ForceRemove) return deleteTreeIfPresent(path);
    if (const std::uint32_t error = registry_.openKey(hive_, path); error != 0) return error == kMissing ? 0 : error;
    if (const std::uint32_t error = unregisterKeys(path, key.subkeys); error != 0) return error;
    for (const auto& value : key.values) {
      const std::uint32_t error = registry_.deleteValue(hive_, path, value.first);
      if (error != 0 && error != kMissing) return error;
    }
    if (key.removal == Removal::NoRemove) return 0;
    std::vector<std::string> left;
    if (const std::uint32_t error = registry_.enumerateSubkeys(hive_, path, left); error != 0) return error;
    if (!left.empty()) return 0;
    const std::uint32_t error = registry_.deleteKey(hive_, path);
    return error == kMissing ? 0 : error;
  }

  const Registry& registry_;
  RegistryHive hive_;
};

}  // namespace

HRESULT Registrar::AddReplacement(LPCOLESTR key, LPCOLESTR item) {
  if (key == nullptr || item == nullptr) return E_INVALIDARG;
  replacements_[platform::foldRegistryName(narrow(key))] = narrow(item);
  return S_OK;
}

HRESULT Registrar::ClearReplacements() {
  replacements_.clear();
  return S_OK;
}

HRESULT Registrar::StringRegister(std::string_view script) const { return run(script, true); }

HRESULT Registrar::StringUnregister(std::string_view script) const { return run(script, false); }

HRESULT Registrar::run(std::string_view script, bool registering) const {
  const auto read = readRegistryScript(script, replacements_);
  if (!read) return DISP_E_EXCEPTION;
  for (const RegistryScriptRoot& root : *read) {
    const ScriptRun run(registry_, root.hive);
    const std::uint32_t error = registering ? run.registerKeys("", root.keys) : run.unregisterKeys("", root.keys);
    if (error != 0) return HRESULT_FROM_WIN32(error);
  }
  return S_OK;
}

}  // namespace platform::automation
