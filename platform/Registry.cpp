#include "platform/Registry.h"

#include <utility>

#include "platform/ErrorCodes.h"
#include "platform/MachineFolder.h"
#include "platform/RegistryDatabase.h"
#include "platform/RegistryKeyPath.h"

namespace platform {

namespace {

using Purpose = RegistryDatabase::Purpose;
using Statement = RegistryDatabase::Statement;

std::int64_t hiveNumber(RegistryHive hive) { return static_cast<std::int64_t>(hive); }

// Prepares a statement whose ?1 is the hive and ?2 the folded key path.
std::uint32_t prepareForKey(RegistryDatabase& database, const char* sql, RegistryHive hive, const RegistryKeyPath& path,
                            Statement& statement) {
  if (const std::uint32_t error = database.prepare(sql, statement); error != 0) return error;
  statement.bind(1, hiveNumber(hive));
  statement.bind(2, path.foldedPath());
  return 0;
}

// 0 when the key exists in an open database (the hive root always does).
std::uint32_t keyExists(RegistryDatabase& database, RegistryHive hive, const RegistryKeyPath& path) {
  if (path.isHive()) return 0;
  Statement statement;
  if (const std::uint32_t error =
          prepareForKey(database, "SELECT 1 FROM registry_keys WHERE hive = ?1 AND folded = ?2", hive, path, statement);
      error != 0) {
    return error;
  }
  const int result = statement.step();
  if (result == SQLITE_ROW) return 0;
  return result == SQLITE_DONE ? kErrorFileNotFound : database.error(result);
}

// Inside a write transaction: adds every missing key of the path.
std::uint32_t insertKeys(RegistryDatabase& database, RegistryHive hive, const RegistryKeyPath& path) {
  Statement statement;
  if (const std::uint32_t error = database.prepare(
          "INSERT OR IGNORE INTO registry_keys(hive, folded, parent, name) VALUES (?1, ?2, ?3, ?4)", statement);
      error != 0) {
    return error;
  }
  for (std::size_t depth = 1; depth <= path.components.size(); ++depth) {
    statement.reset();
    statement.bind(1, hiveNumber(hive));
    statement.bind(2, path.foldedPrefix(depth));
    statement.bind(3, path.foldedPrefix(depth - 1));
    statement.bind(4, path.components[depth - 1]);
    if (const std::uint32_t error = database.run(statement); error != 0) return error;
  }
  return 0;
}

std::uint32_t storeValue(RegistryDatabase& database, RegistryHive hive, const RegistryKeyPath& path,
                         std::string_view name, std::uint32_t type, std::span<const std::uint8_t> data) {
  Statement statement;
  if (const std::uint32_t error = database.prepare(
          "INSERT INTO registry_values(hive, key, folded, name, type, data) VALUES (?1, ?2, ?3, ?4, ?5, ?6) "
          "ON CONFLICT(hive, key, folded) DO UPDATE SET type = excluded.type, data = excluded.data",
          statement);
      error != 0) {
    return error;
  }
  statement.bind(1, hiveNumber(hive));
  statement.bind(2, path.foldedPath());
  statement.bind(3, foldRegistryName(name));
  statement.bind(4, name);
  statement.bind(5, static_cast<std::int64_t>(type));
  statement.bindBlob(6, data);
  return database.run(statement);
}

std::uint32_t removeValue(RegistryDatabase& database, RegistryHive hive, const RegistryKeyPath& path,
                          std::string_view name) {
  Statement statement;
  if (const std::uint32_t error = prepareForKey(
          database, "DELETE FROM registry_values WHERE hive = ?1 AND key = ?2 AND folded = ?3", hive, path, statement);
      error != 0) {
    return error;
  }
  statement.bind(3, foldRegistryName(name));
  if (const std::uint32_t error = database.run(statement); error != 0) return error;
  return database.changes() > 0 ? 0 : kErrorFileNotFound;
}

// Reads one value of an open database: 0, 2 or the error.
std::uint32_t readValue(RegistryDatabase& database, RegistryHive hive, const RegistryKeyPath& path,
                        std::string_view name, RegistryValue& value) {
  Statement statement;
  if (const std::uint32_t error =
          prepareForKey(database, "SELECT type, data FROM registry_values WHERE hive = ?1 AND key = ?2 AND folded = ?3",
                        hive, path, statement);
      error != 0) {
    return error;
  }
  statement.bind(3, foldRegistryName(name));
  const int result = statement.step();
  if (result == SQLITE_DONE) return kErrorFileNotFound;
  if (result != SQLITE_ROW) return database.error(result);
  value.type = static_cast<std::uint32_t>(statement.integer(0));
  const auto data = statement.blob(1);
  value.data.assign(data.begin(), data.end());
  return 0;
}

// Runs `work` inside one write transaction of a fresh connection and commits
// when it returns 0.
template <class Work>
std::uint32_t inWriteTransaction(const std::string& databasePath, bool readOnly, Work&& work) {
  RegistryDatabase database;
  if (const std::uint32_t error = database.open(databasePath, Purpose::Write, readOnly); error != 0) return error;
  RegistryTransaction transaction(database);
  if (const std::uint32_t error = transaction.begin(); error != 0) return error;
  if (const std::uint32_t error = work(database); error != 0) return error;
  return transaction.commit();
}

// Runs `query` (?1 the hive, ?2 the key's folded path) over the rows of one
// existing key; `row` takes each.
std::uint32_t listKey(const std::string& databasePath, bool readOnly, RegistryHive hive, std::string_view key,
                      const char* query, const std::function<void(Statement&)>& row) {
  RegistryKeyPath path;
  if (const std::uint32_t error = parseRegistryKeyPath(key, path); error != 0) return error;
  // An empty registry still has its hives.
  const auto hiveIsEmpty = [&](std::uint32_t error) {
    return error == kErrorFileNotFound && path.isHive() ? 0 : error;
  };
  RegistryDatabase database;
  if (std::uint32_t error = database.open(databasePath, Purpose::Read, readOnly); error != 0) {
    return hiveIsEmpty(error);
  }
  if (std::uint32_t error = keyExists(database, hive, path); error != 0) return hiveIsEmpty(error);
  Statement statement;
  if (std::uint32_t error = prepareForKey(database, query, hive, path, statement); error != 0) {
    return hiveIsEmpty(error);
  }
  int result = statement.step();
  for (; result == SQLITE_ROW; result = statement.step()) row(statement);
  return database.error(result);
}

}  // namespace

Registry::Registry(std::string databasePath, Access access) : databasePath_(std::move(databasePath)), access_(access) {}

std::string Registry::machineDatabasePath() { return machineFolder() + "/Vexora/registry.db"; }

std::string Registry::databasePath() const { return databasePath_.empty() ? machineDatabasePath() : databasePath_; }

std::uint32_t Registry::createKey(RegistryHive hive, std::string_view key) const {
  RegistryKeyPath path;
  if (const std::uint32_t error = parseRegistryKeyPath(key, path); error != 0) return error;
  return inWriteTransaction(databasePath(), access_ == Access::ReadOnly,
                            [&](RegistryDatabase& database) { return insertKeys(database, hive, path); });
}

std::uint32_t Registry::openKey(RegistryHive hive, std::string_view key) const {
  RegistryKeyPath path;
  if (const std::uint32_t error = parseRegistryKeyPath(key, path); error != 0) return error;
  RegistryDatabase database;
  if (const std::uint32_t error = database.open(databasePath(), Purpose::Read, access_ == Access::ReadOnly);
      error != 0) {
    return error;
  }
  return keyExists(database, hive, path);
}

std::uint32_t Registry::queryValue(RegistryHive hive, std::string_view key, std::string_view name,
                                   RegistryValue& value) const {
  RegistryKeyPath path;
  if (const std::uint32_t error = parseRegistryKeyPath(key, path); error != 0) return error;
  RegistryDatabase database;
  if (const std::uint32_t error = database.open(databasePath(), Purpose::Read, access_ == Access::ReadOnly);
      error != 0) {
    return error;
  }
  return readValue(database, hive, path, name, value);
}

std::uint32_t Registry::queryValue(RegistryHive hive, std::string_view key, std::string_view name, std::uint32_t& type,
                                   std::span<std::uint8_t> buffer, std::uint32_t& size) const {
  RegistryValue value;
  if (const std::uint32_t error = queryValue(hive, key, name, value); error != 0) return error;
  type = value.type;
  size = static_cast<std::uint32_t>(value.data.size());
  if (value.data.size() > buffer.size()) return kErrorMoreData;
  std::copy(value.data.begin(), value.data.end(), buffer.begin());
  return 0;
}

std::uint32_t Registry::setValue(RegistryHive hive, std::string_view key, std::string_view name, std::uint32_t type,
                                 std::span<const std::uint8_t> data) const {
  RegistryKeyPath path;
  if (const std::uint32_t error = parseRegistryKeyPath(key, path); error != 0) return error;
  if (path.isHive()) return kErrorAccessDenied;
  return inWriteTransaction(databasePath(), access_ == Access::ReadOnly, [&](RegistryDatabase& database) {
    if (const std::uint32_t error = keyExists(database, hive, path); error != 0) return error;
    return storeValue(database, hive, path, name, type, data);
  });
}

std::uint32_t Registry::deleteValue(RegistryHive hive, std::string_view key, std::string_view name) const {
  RegistryKeyPath path;
  if (const std::uint32_t error = parseRegistryKeyPath(key, path); error != 0) return error;
  if (path.isHive()) return kErrorFileNotFound;
  return inWriteTransaction(databasePath(), access_ == Access::ReadOnly, [&](RegistryDatabase& database) {
    if (const std::uint32_t error = keyExists(database, hive, path); error != 0) return error;
    return removeValue(database, hive, path, name);
  });
}

std::uint32_t Registry::deleteKey(RegistryHive hive, std::string_view key) const {
  RegistryKeyPath path;
  if (const std::uint32_t error = parseRegistryKeyPath(key, path); error != 0) return error;
  if (path.isHive()) return kErrorAccessDenied;
  return inWriteTransaction(databasePath(), access_ == Access::ReadOnly, [&](RegistryDatabase& database) {
    if (const std::uint32_t error = keyExists(database, hive, path); error != 0) return error;
    Statement children;
    if (const std::uint32_t error = prepareForKey(
            database, "SELECT 1 FROM registry_keys WHERE hive = ?1 AND parent = ?2 LIMIT 1", hive, path, children);
        error != 0) {
      return error;
    }
    const int result = children.step();
    if (result == SQLITE_ROW) return kErrorAccessDenied;  // as RegDeleteKey: subkeys first
    if (result != SQLITE_DONE) return database.error(result);
    for (const char* sql : {"DELETE FROM registry_values WHERE hive = ?1 AND key = ?2",
                            "DELETE FROM registry_keys WHERE hive = ?1 AND folded = ?2"}) {
      Statement statement;
      if (const std::uint32_t error = prepareForKey(database, sql, hive, path, statement); error != 0) return error;
      if (const std::uint32_t error = database.run(statement); error != 0) return error;
    }
    return 0u;
  });
}

std::uint32_t Registry::deleteTree(RegistryHive hive, std::string_view key) const {
  RegistryKeyPath path;
  if (const std::uint32_t error = parseRegistryKeyPath(key, path); error != 0) return error;
  return inWriteTransaction(databasePath(), access_ == Access::ReadOnly, [&](RegistryDatabase& database) {
    if (const std::uint32_t error = keyExists(database, hive, path); error != 0) return error;
    // Paths below the key start with its path and "\", and "]" follows "\".
    const std::string folded = path.foldedPath();
    const bool wholeHive = path.isHive();
    for (const char* sql : {wholeHive ? "DELETE FROM registry_values WHERE hive = ?1"
                                      : "DELETE FROM registry_values WHERE hive = ?1 AND "
                                        "(key = ?2 OR (key >= ?3 AND key < ?4))",
                            wholeHive ? "DELETE FROM registry_keys WHERE hive = ?1"
                                      : "DELETE FROM registry_keys WHERE hive = ?1 AND "
                                        "(folded = ?2 OR (folded >= ?3 AND folded < ?4))"}) {
      Statement statement;
      if (const std::uint32_t error = database.prepare(sql, statement); error != 0) return error;
      statement.bind(1, hiveNumber(hive));
      if (!wholeHive) {
        statement.bind(2, folded);
        statement.bind(3, folded + "\\");
        statement.bind(4, folded + "]");
      }
      if (const std::uint32_t error = database.run(statement); error != 0) return error;
    }
    return 0u;
  });
}

std::uint32_t Registry::enumerateSubkeys(RegistryHive hive, std::string_view key,
                                         std::vector<std::string>& names) const {
  names.clear();
  return listKey(databasePath(), access_ == Access::ReadOnly, hive, key,
                 "SELECT name FROM registry_keys WHERE hive = ?1 AND parent = ?2 ORDER BY folded",
                 [&](Statement& row) { names.push_back(row.text(0)); });
}

std::uint32_t Registry::enumerateValues(RegistryHive hive, std::string_view key,
                                       std::vector<std::pair<std::string, RegistryValue>>& values) const {
  values.clear();
  return listKey(databasePath(), access_ == Access::ReadOnly, hive, key,
                 "SELECT name, type, data FROM registry_values WHERE hive = ?1 AND key = ?2 ORDER BY folded",
                 [&](Statement& row) {
                   const auto data = row.blob(2);
                   values.emplace_back(row.text(0), RegistryValue{static_cast<std::uint32_t>(row.integer(1)),
                                                                  {data.begin(), data.end()}});
                 });
}

std::uint32_t Registry::updateValue(RegistryHive hive, std::string_view key, std::string_view name,
                                    const Update& update) const {
  RegistryKeyPath path;
  if (const std::uint32_t error = parseRegistryKeyPath(key, path); error != 0) return error;
  if (path.isHive()) return kErrorAccessDenied;
  return inWriteTransaction(databasePath(), access_ == Access::ReadOnly, [&](RegistryDatabase& database) {
    if (const std::uint32_t error = insertKeys(database, hive, path); error != 0) return error;
    RegistryValue current;
    std::optional<RegistryValue> value;
    const std::uint32_t read = readValue(database, hive, path, name, current);
    if (read == 0)
      value = std::move(current);
    else if (read != kErrorFileNotFound)
      return read;
    const bool existed = value.has_value();
    if (const std::uint32_t error = update(value); error != 0) return error;
    if (value) return storeValue(database, hive, path, name, value->type, value->data);
    return existed ? removeValue(database, hive, path, name) : 0u;
  });
}

}  // namespace platform
