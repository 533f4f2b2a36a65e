#pragma once
// Registry: the machine-wide registry hives the component uses, HKEY_LOCAL_MACHINE
// and HKEY_CLASSES_ROOT, kept in one SQLite database, <machine>/Vexora/registry.db
// (platform/MachineFolder.h). The functions follow the Win32 registry functions
// they stand in for and return their Windows error codes (0 on success):
//
//   createKey       RegCreateKeyEx      creates the key and every missing parent
//   openKey         RegOpenKeyEx        0 when the key exists, 2 when not
//   queryValue      RegQueryValueEx     2 missing key or value, 234 buffer too small
//   setValue        RegSetValueEx       2 when the key does not exist
//   deleteValue     RegDeleteValue      2 when missing
//   deleteKey       RegDeleteKey        2 when missing, 5 when it has subkeys
//   deleteTree      RegDeleteTree       the key with everything below it
//   enumerateSubkeys RegEnumKeyEx       direct subkeys, in case-insensitive order
//   enumerateValues RegEnumValue        values of a key, in case-insensitive order
//   updateValue     a read-modify-write of one value in one transaction
//
// Keys are addressed by their full path below the hive: components separated by
// "\", compared without regard to case (Unicode simple upper-casing, as Windows
// compares names); the spelling of the first creation is kept for enumeration.
// "" is the hive itself, which always exists and can be neither deleted nor
// given values here. A trailing "\" is ignored; an empty component ("a\\b",
// "\a") is invalid (87). The value name "" is the key's default value. Key and
// value names are bytes in the narrow (UTF-8) encoding.
//
// Durability: every write is one SQLite transaction with a rollback journal and
// full synchronisation, so a process killed at any point leaves each value
// either as it was or as written, never in part. Writers take the write lock
// first (BEGIN IMMEDIATE), readers see committed data only.
//
// Files: the folder is created 0755 and the database 0644 (journals take the
// database's mode). No component of the database path may be a symbolic link:
// the folders are walked by descriptor without following links, and SQLite is
// told not to follow one either. A link, or a database that is not a regular
// file, is refused (1921, 5). Without write access to the folder or the file a
// write fails with 5, as on Windows; reads need no write access. A database
// that does not exist yet reads as empty (2) and is created by the first write.
//
// Thread- and process-safety: a Registry is an immutable description of where
// the database lies; every call opens its own connection and closes it before
// returning, so any number of threads and processes may call at once. Writers
// wait for each other (busy time-out kBusyTimeoutMilliseconds, then 170).
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class RegistryHive : std::uint8_t { LocalMachine = 1, ClassesRoot = 2 };

// Registry value types.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;
inline constexpr std::uint32_t kRegQword = 11;

// Codes beyond platform/ErrorCodes.h that the registry functions return.
inline constexpr std::uint32_t kErrorMoreData = 234;
inline constexpr std::uint32_t kErrorBadDatabase = 1009;  // ERROR_BADDB: the database is damaged

struct RegistryValue {
  std::uint32_t type = kRegNone;
  std::vector<std::uint8_t> data;

  bool operator==(const RegistryValue&) const = default;
};

class Registry {
 public:
  enum class Access { ReadWrite, ReadOnly };

  // How long a call waits for another writer before it fails with 170.
  static constexpr int kBusyTimeoutMilliseconds = 30000;

  // The machine's registry; the machine folder is looked up at every call.
  Registry() = default;
  // The registry in the database `databasePath` (its folder must exist or be
  // creatable). Access::ReadOnly opens it read-only, as a caller without write
  // access to it would: every write then fails with 5.
  explicit Registry(std::string databasePath, Access access = Access::ReadWrite);

  // <machine>/Vexora/registry.db.
  static std::string machineDatabasePath();
  std::string databasePath() const;

  std::uint32_t createKey(RegistryHive hive, std::string_view key) const;
  std::uint32_t openKey(RegistryHive hive, std::string_view key) const;

  // Copies the value into `buffer` when it fits; `size` gets the value's size in
  // any case and `type` its type whenever it exists. 234 when it does not fit
  // (the buffer is then left alone).
  std::uint32_t queryValue(RegistryHive hive, std::string_view key, std::string_view name, std::uint32_t& type,
                           std::span<std::uint8_t> buffer, std::uint32_t& size) const;
  // The whole value.
  std::uint32_t queryValue(RegistryHive hive, std::string_view key, std::string_view name,
                           RegistryValue& value) const;

  std::uint32_t setValue(RegistryHive hive, std::string_view key, std::string_view name, std::uint32_t type,
                         std::span<const std::uint8_t> data) const;
  std::uint32_t deleteValue(RegistryHive hive, std::string_view key, std::string_view name) const;

  std::uint32_t deleteKey(RegistryHive hive, std::string_view key) const;
  // The key, its values and every key below it; "" empties the hive.
  std::uint32_t deleteTree(RegistryHive hive, std::string_view key) const;
  std::uint32_t enumerateSubkeys(RegistryHive hive, std::string_view key, std::vector<std::string>& names) const;
  // The values of the key (name and value), in case-insensitive order of name.
  std::uint32_t enumerateValues(RegistryHive hive, std::string_view key,
                                std::vector<std::pair<std::string, RegistryValue>>& values) const;

  // Reads the value and hands it to `update` (nullopt when it does not exist),
  // all inside one write transaction that no other writer can enter. When
  // `update` returns 0 the value it leaves is stored (nullopt deletes it) and
  // the transaction committed; any other code rolls everything back and is
  // returned. The key is created when missing. `update` must not call the
  // registry itself (it would wait for its own lock).
  using Update = std::function<std::uint32_t(std::optional<RegistryValue>& value)>;
  std::uint32_t updateValue(RegistryHive hive, std::string_view key, std::string_view name,
                            const Update& update) const;

 private:
  std::string databasePath_;  // empty: the machine's
  Access access_ = Access::ReadWrite;
};

}  // namespace platform
