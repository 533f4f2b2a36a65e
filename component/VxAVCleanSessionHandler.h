#pragma once
// CVxAVCleanSessionHandler: the host's clean-session counter (0 to 1024) and the
// flag that says whether it outlives an uninstallation, kept as protected
// registry values (foundation/VxProtectedRegistryValue.h) "CleanCount" and
// "CleanCountPersist", REG_DWORD payloads, under the key
// HKEY_LOCAL_MACHINE "Software\Vexora\<product_name>\<product_affid>". Name and affiliate id come from
// section "product" of "AVScanner.ini" in the settings folder (the host
// executable's): a key that is missing or whose value has 1022 characters or more
// fails with 13, an empty one with 1627.
//
// Failures: a read returns the registry's code (2 nothing stored, 13 a value in
// any other form, 234 a payload longer than 4 bytes; 1627 a shorter one; 6000
// when the digest that guards the values cannot be computed); every write
// failure is 1627, whatever the registry said, except 6000 for that same reason
// (the stored value is then left as it was).
//
// incrementCleanSessionCount reads, adds one (saturating at 1024) and writes in
// one registry transaction, so concurrent increments of any threads and
// processes each count.
//
// Stateless beyond where it looks; every call goes to the settings file and the
// registry anew, so any thread may call at once.
#include <cstdint>
#include <functional>
#include <string>

#include "foundation/VxNAResult.h"
#include "platform/Registry.h"

class CVxAVCleanSessionHandler {
 public:
  static constexpr std::uint32_t kMaximumCount = 1024;

  // The folder that holds AVScanner.ini; 1627 when it cannot be found.
  using SettingsFolderSource = std::function<VxNAResult<std::string>()>;
  // The host executable's folder.
  static SettingsFolderSource hostSettingsFolder();

  explicit CVxAVCleanSessionHandler(SettingsFolderSource settingsFolder = hostSettingsFolder(),
                                    platform::Registry registry = platform::Registry());

  VxNAResult<> getRegistryLocation(std::string& location) const;
  VxNAResult<std::uint32_t> getCleanSessionCount() const;
  VxNAResult<> setCleanSessionCount(std::uint32_t count) const;
  VxNAResult<bool> getPersistAfterUninstall() const;
  VxNAResult<> setPersistAfterUninstall(bool persist) const;

  // Which half of an increment failed: reading the count or writing it.
  enum class IncrementStep { Read, Write };
  // The count before the increment (0 when none was stored); on failure
  // `failedStep` says which half failed, with that half's code.
  VxNAResult<std::uint32_t> incrementCleanSessionCount(IncrementStep& failedStep) const;

 private:
  VxNAResult<std::string> location(const wchar_t* function, const wchar_t* failedText) const;
  VxNAResult<> writeDword(const char* name, std::uint32_t value, const wchar_t* function,
                          const wchar_t* locationFailedText, const wchar_t* failedText) const;

  SettingsFolderSource settingsFolder_;
  platform::Registry registry_;
};
