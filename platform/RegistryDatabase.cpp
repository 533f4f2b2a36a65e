#include "platform/RegistryDatabase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/DebugOutput.h"
#include "platform/ErrorCodes.h"
#include "platform/FileSystem.h"
#include "platform/Registry.h"
#include "platform/TrustedFile.h"
#include "platform/UniqueFileDescriptor.h"

namespace platform {

namespace {

constexpr mode_t kFolderMode = 0755;
constexpr mode_t kDatabaseMode = 0644;

// Keys hold their folded full path, the folded path of their parent and the
// spelling of their last component; values belong to a key by its folded path.
// The hive roots have no row: they always exist.
constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS registry_keys("
    "  hive INTEGER NOT NULL, folded TEXT NOT NULL, parent TEXT NOT NULL, name TEXT NOT NULL,"
    "  PRIMARY KEY (hive, folded)) WITHOUT ROWID;"
    "CREATE INDEX IF NOT EXISTS registry_keys_by_parent ON registry_keys(hive, parent);"
    "CREATE TABLE IF NOT EXISTS registry_values("
    "  hive INTEGER NOT NULL, key TEXT NOT NULL, folded TEXT NOT NULL, name TEXT NOT NULL,"
    "  type INTEGER NOT NULL, data BLOB NOT NULL,"
    "  PRIMARY KEY (hive, key, folded)) WITHOUT ROWID;";

std::uint32_t errnoError() { return windowsErrorFromErrno(errno); }

// Why `name` of `parent` could not be opened as a folder: a link is told apart
// from anything else that is not a folder.
std::uint32_t notAFolder(int parent, const std::string& name) {
  const int error = errno;
  struct stat status {};
  if (::fstatat(parent, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(status.st_mode)) {
    return kErrorCantResolveFilename;
  }
  return windowsErrorFromErrno(error);
}

// Opens one folder entry of `parent` without following a link; a writer creates
// it when missing.
std::uint32_t openChildFolder(int parent, const std::string& name, bool create, UniqueFileDescriptor& child) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  for (int attempt = 0; attempt < 2; ++attempt) {
    child.reset(::openat(parent, name.c_str(), kFlags));
    if (child.valid()) return 0;
    if (errno == ENOTDIR || errno == ELOOP) return notAFolder(parent, name);
    if (errno != ENOENT || !create) return errno == ENOENT ? kErrorPathNotFound : errnoError();
    if (::mkdirat(parent, name.c_str(), kFolderMode) == 0) {
      child.reset(::openat(parent, name.c_str(), kFlags));
      if (!child.valid()) return errnoError();
      // The umask may have taken bits the machine-wide folder needs for its readers.
      return ::fchmod(child.get(), kFolderMode) == 0 ? 0 : errnoError();
    }
    if (errno != EEXIST) return errnoError();  // else made by another process: open it
  }
  return kErrorFunctionFailed;
}

// The folder holding the database, walked component by component.
std::uint32_t openFolder(const std::string& folder, bool create, UniqueFileDescriptor& fd) {
  fd.reset(::open(folder.starts_with('/') ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return errnoError();
  std::size_t start = 0;
  while (start < folder.size()) {
    std::size_t end = folder.find('/', start);
    if (end == std::string::npos) end = folder.size();
    const std::string name = folder.substr(start, end - start);
    start = end + 1;
    if (name.empty() || name == ".") continue;
    UniqueFileDescriptor child;
    if (const std::uint32_t error = openChildFolder(fd.get(), name, create, child); error != 0) return error;
    fd = std::move(child);
  }
  return 0;
}

// Checks (and for a writer creates) the database file itself.
std::uint32_t checkDatabaseFile(int folder, const std::string& name, bool create) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    UniqueFileDescriptor file(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.valid()) {
      struct stat status {};
      if (::fstat(file.get(), &status) != 0) return errnoError();
      return S_ISREG(status.st_mode) ? 0 : kErrorAccessDenied;
    }
    if (errno != ENOENT) return errnoError();
    if (!create) return kErrorFileNotFound;
    UniqueFileDescriptor created(
        ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kDatabaseMode));
    if (created.valid()) return ::fchmod(created.get(), kDatabaseMode) == 0 ? 0 : errnoError();
    if (errno != EEXIST) return errnoError();
  }
  return kErrorFunctionFailed;
}

// The database says which module root loads for a class: it, and every folder
// above it, must be such that no other user could have written them
// (TrustedFile.h). The database is opened by path afterwards; the folders passed
// the same rule, so nobody else can put another file in its place.
std::uint32_t checkTrusted(const std::string& path) {
  UniqueFileDescriptor file;
  std::string absolute = path;
  if (!path.starts_with('/')) {
    std::string folder;
    if (const std::uint32_t error = currentFolder(folder); error != 0) return error;
    absolute = folder + "/" + path;
  }
  const TrustCheck check = openTrustedFile(absolute, O_RDONLY, 0, file);
  if (check.ok()) return 0;
  if (check.fault == TrustFault::Missing || check.fault == TrustFault::Failed) return check.windowsError();
  writeDebugOutput("registry database refused: " + check.describe());
  return kErrorAccessDenied;
}

}  // namespace

std::uint32_t RegistryDatabase::open(const std::string& path, Purpose purpose, bool readOnly) {
  const bool create = purpose == Purpose::Write && !readOnly;
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  UniqueFileDescriptor folderFd;
  if (std::uint32_t error = openFolder(folder, create, folderFd); error != 0) {
    // Nothing was ever stored: for a reader every key is missing.
    if (error != kErrorPathNotFound) return error;
    return purpose == Purpose::Read ? kErrorFileNotFound : kErrorAccessDenied;
  }
  if (const std::uint32_t error = checkDatabaseFile(folderFd.get(), name, create); error != 0) {
    // A writer without the right to create the database is refused as any writer without rights.
    return purpose == Purpose::Write && error == kErrorFileNotFound ? kErrorAccessDenied : error;
  }
  if (const std::uint32_t error = checkTrusted(path); error != 0) return error;

  // Read-write whenever the file allows it, even for readers: a reader may have
  // to roll back the journal a killed writer left behind.
  const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOFOLLOW |
                    SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE;
  sqlite3* connection = nullptr;
  const int opened = sqlite3_open_v2(path.c_str(), &connection, flags, nullptr);
  connection_.reset(connection);
  if (opened != SQLITE_OK) return error(opened);
  sqlite3_busy_timeout(connection, Registry::kBusyTimeoutMilliseconds);
  sqlite3_db_config(connection, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  return execute("PRAGMA synchronous=FULL");
}

std::uint32_t RegistryDatabase::error(int result) const {
  switch (result & 0xFF) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE: return 0;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH: return kErrorAccessDenied;
    case SQLITE_BUSY:
    case SQLITE_LOCKED: return kErrorBusy;
    case SQLITE_NOMEM: return kErrorNotEnoughMemory;
    case SQLITE_FULL: return kErrorDiskFull;
    case SQLITE_TOOBIG: return kErrorInvalidParameter;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB: return kErrorBadDatabase;
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR: {
      if (result == SQLITE_CANTOPEN_SYMLINK) return kErrorCantResolveFilename;
      const int system = connection_ ? sqlite3_system_errno(connection_.get()) : 0;
      return system != 0 ? windowsErrorFromErrno(system) : kErrorFunctionFailed;
    }
    default: return kErrorFunctionFailed;
  }
}

std::uint32_t RegistryDatabase::prepare(const char* sql, Statement& statement) {
  sqlite3_stmt* prepared = nullptr;
  const int result = sqlite3_prepare_v2(connection_.get(), sql, -1, &prepared, nullptr);
  statement.statement_.reset(prepared);
  // The statements are fixed: one that does not compile names a table that the
  // first writer has not made yet.
  if (result == SQLITE_ERROR) return kErrorFileNotFound;
  return error(result);
}

std::uint32_t RegistryDatabase::run(Statement& statement) {
  int result = statement.step();
  while (result == SQLITE_ROW) result = statement.step();
  return error(result);
}

std::uint32_t RegistryDatabase::execute(const char* sql) {
  return error(sqlite3_exec(connection_.get(), sql, nullptr, nullptr, nullptr));
}

std::uint32_t RegistryDatabase::beginWrite() {
  if (const std::uint32_t failure = execute("BEGIN IMMEDIATE"); failure != 0) return failure;
  if (const std::uint32_t failure = execute(kSchema); failure != 0) {
    rollback();
    return failure;
  }
  return 0;
}

std::uint32_t RegistryDatabase::commit() { return execute("COMMIT"); }

void RegistryDatabase::rollback() {
  if (sqlite3_get_autocommit(connection_.get()) == 0) execute("ROLLBACK");
}

int RegistryDatabase::changes() const { return sqlite3_changes(connection_.get()); }

void RegistryDatabase::Statement::bind(int index, std::int64_t number) {
  sqlite3_bind_int64(statement_.get(), index, number);
}

void RegistryDatabase::Statement::bind(int index, std::string_view text) {
  sqlite3_bind_text(statement_.get(), index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void RegistryDatabase::Statement::bindBlob(int index, std::span<const std::uint8_t> bytes) {
  // A zero-length blob must still be a blob, not NULL.
  static constexpr std::uint8_t kNothing = 0;
  sqlite3_bind_blob(statement_.get(), index, bytes.empty() ? &kNothing : bytes.data(),
                    static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
}

void RegistryDatabase::Statement::reset() {
  sqlite3_reset(statement_.get());
  sqlite3_clear_bindings(statement_.get());
}

int RegistryDatabase::Statement::step() { return sqlite3_step(statement_.get()); }

std::int64_t RegistryDatabase::Statement::integer(int column) {
  return sqlite3_column_int64(statement_.get(), column);
}

std::string RegistryDatabase::Statement::text(int column) {
  const auto* bytes = sqlite3_column_text(statement_.get(), column);
  const int size = sqlite3_column_bytes(statement_.get(), column);
  return bytes == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(size));
}

std::span<const std::uint8_t> RegistryDatabase::Statement::blob(int column) {
  const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement_.get(), column));
  const int size = sqlite3_column_bytes(statement_.get(), column);
  return bytes == nullptr ? std::span<const std::uint8_t>() : std::span(bytes, static_cast<std::size_t>(size));
}

}  // namespace platform
