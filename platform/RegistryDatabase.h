#pragma once
// RegistryDatabase: one SQLite connection to the registry database, with the
// statements the registry functions run on it (platform/Registry.h describes the
// store). A connection serves one registry call on one thread and is closed
// with its owner; SQLite's file locks and busy handler keep connections of all
// threads and processes apart.
//
// Opening walks the folders by descriptor without following a link (creating
// the missing ones 0755 for a writer), creates a missing database 0644 for a
// writer, and only then lets SQLite open the same path, told not to follow links
// either; the walk gives the symbolic-link and file-type checks their Windows
// codes, SQLite's own check closes the window between the two.
//
// Thread-safety: none of its own; one owner at a time.
#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace platform {

class RegistryDatabase {
 public:
  enum class Purpose { Read, Write };

  // 0; 2 when a reader finds no database; otherwise why it cannot be opened.
  // readOnly opens the file read-only whatever the caller's rights.
  std::uint32_t open(const std::string& path, Purpose purpose, bool readOnly);

  // The Windows code of an SQLite result on this connection (0 for OK, ROW, DONE).
  std::uint32_t error(int result) const;

  class Statement {
   public:
    void bind(int index, std::int64_t number);
    void bind(int index, std::string_view text);
    void bindBlob(int index, std::span<const std::uint8_t> bytes);
    // Makes the statement ready to run again with new bindings.
    void reset();
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step();
    std::int64_t integer(int column);
    std::string text(int column);
    std::span<const std::uint8_t> blob(int column);

   private:
    friend class RegistryDatabase;
    struct Finalize {
      void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
    };
    std::unique_ptr<sqlite3_stmt, Finalize> statement_;
  };

  // 0, or the error; a statement over tables that do not exist yet (a database
  // no writer has finished creating) gives 2.
  std::uint32_t prepare(const char* sql, Statement& statement);
  // Runs one statement to its end: 0 or the error.
  std::uint32_t run(Statement& statement);

  // BEGIN IMMEDIATE, then the tables when they are missing.
  std::uint32_t beginWrite();
  std::uint32_t commit();
  void rollback();
  // Rows changed by the last statement.
  int changes() const;

 private:
  struct Close {
    void operator()(sqlite3* connection) const { sqlite3_close_v2(connection); }
  };
  std::uint32_t execute(const char* sql);

  std::unique_ptr<sqlite3, Close> connection_;
};

// Rolls an open write transaction back unless it was committed.
class RegistryTransaction {
 public:
  explicit RegistryTransaction(RegistryDatabase& database) : database_(database) {}
  ~RegistryTransaction() {
    if (open_) database_.rollback();
  }
  RegistryTransaction(const RegistryTransaction&) = delete;
  RegistryTransaction& operator=(const RegistryTransaction&) = delete;

  std::uint32_t begin() {
    const std::uint32_t error = database_.beginWrite();
    open_ = error == 0;
    return error;
  }
  std::uint32_t commit() {
    const std::uint32_t error = database_.commit();
    open_ = error != 0;
    return error;
  }

 private:
  RegistryDatabase& database_;
  bool open_ = false;
};

}  // namespace platform
