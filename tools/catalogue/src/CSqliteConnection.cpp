// The catalogue's SQLite connection: one file, WAL (readers in other
// processes go on while the recorder writes), a busy time-out for writers
// sharing the file (cut short by the stop's abort descriptor), statements
// prepared once.
#include <poll.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "SqlConnection.h"

namespace qnvcat {
namespace {

class CSqliteRow : public IRow {
 public:
  explicit CSqliteRow(sqlite3_stmt* stmt) : m_stmt(stmt) {}
  bool IsNull(int column) const override {
    return sqlite3_column_type(m_stmt, column) == SQLITE_NULL;
  }
  int64_t Int(int column) const override { return sqlite3_column_int64(m_stmt, column); }
  std::string Text(int column) const override {
    const unsigned char* text = sqlite3_column_text(m_stmt, column);
    return text == nullptr ? std::string()
                           : std::string(reinterpret_cast<const char*>(text),
                                         size_t(sqlite3_column_bytes(m_stmt, column)));
  }

 private:
  sqlite3_stmt* m_stmt;
};

// Owns the database handle and every statement prepared on it.
class CSqliteConnection : public ISqlConnection {
 public:
  CSqliteConnection(sqlite3* db, std::string file) : m_db(db), m_file(std::move(file)) {}
  ~CSqliteConnection() override {
    for (sqlite3_stmt* s : m_statements) sqlite3_finalize(s);
    sqlite3_close_v2(m_db);
  }

  const char* Backend() const override { return "sqlite"; }
  const SDialect& Dialect() const override {
    static const SDialect dialect{"INTEGER PRIMARY KEY", "max",
                                  "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = $1"};
    return dialect;
  }

  bool Exec(int slot, const std::string& sql, const std::vector<SValue>& values, const RowFn& row,
            std::string& error) override {
    if (size_t(slot) >= m_statements.size()) m_statements.resize(size_t(slot) + 1, nullptr);
    sqlite3_stmt*& stmt = m_statements[size_t(slot)];
    if (stmt == nullptr) {
      // $1 in the shared text is ?1 here.
      std::string text = sql;
      for (char& c : text) {
        if (c == '$') c = '?';
      }
      if (sqlite3_prepare_v3(m_db, text.c_str(), int(text.size()), SQLITE_PREPARE_PERSISTENT, &stmt,
                             nullptr) != SQLITE_OK) {
        error = Failure("cannot prepare a statement");
        stmt = nullptr;
        return false;
      }
    }
    for (size_t i = 0; i < values.size(); ++i) {
      const SValue& v = values[i];
      const int at = int(i) + 1;
      int rc = SQLITE_OK;
      switch (v.type) {
        case SValue::EType::kNull:
          rc = sqlite3_bind_null(stmt, at);
          break;
        case SValue::EType::kInt:
          rc = sqlite3_bind_int64(stmt, at, v.integer);
          break;
        case SValue::EType::kText:
          rc = sqlite3_bind_text(stmt, at, v.text.data(), int(v.text.size()), SQLITE_STATIC);
          break;
      }
      if (rc != SQLITE_OK) {
        error = Failure("cannot bind a value");
        sqlite3_reset(stmt);
        return false;
      }
    }
    int rc;
    CSqliteRow current(stmt);
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      if (row) row(current);
    }
    if (rc != SQLITE_DONE) error = Failure("statement failed");
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
    return rc == SQLITE_DONE;
  }

  bool Script(const std::string& sql, std::string& error) override {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      error = m_file + ": " + (message != nullptr ? message : sqlite3_errmsg(m_db));
      sqlite3_free(message);
      return false;
    }
    return true;
  }

  bool Begin(bool write, std::string& error) override {
    return Script(write ? "BEGIN IMMEDIATE" : "BEGIN", error);
  }
  bool Commit(std::string& error) override { return Script("COMMIT", error); }
  void Rollback() override {
    if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  EFailure LastFailure() const override {
    switch (sqlite3_errcode(m_db)) {
      case SQLITE_OK:
      case SQLITE_DONE:
      case SQLITE_ROW:
        return EFailure::kNone;
      case SQLITE_BUSY:
      case SQLITE_LOCKED:
      case SQLITE_IOERR:
      case SQLITE_FULL:
      case SQLITE_PROTOCOL:
      case SQLITE_NOMEM:
      case SQLITE_INTERRUPT:
        return EFailure::kTransient;
      case SQLITE_CANTOPEN:
      case SQLITE_CORRUPT:
      case SQLITE_NOTADB:
      case SQLITE_READONLY:
        return EFailure::kBroken;
      default:
        return EFailure::kRejected;
    }
  }
  bool LockSchema(std::string&) override { return true; }  // BEGIN IMMEDIATE holds the lock

  // Another writer's lock is waited for up to timeoutMs, or until abortFd
  // (when not -1) becomes readable.
  void SetBusy(int timeoutMs, int abortFd) {
    m_busyTimeoutMs = timeoutMs;
    m_abortFd = abortFd;
    sqlite3_busy_handler(m_db, &CSqliteConnection::Busy, this);
  }

 private:
  // SQLite's busy handler: count is 0 at the first call for a lock.
  static int Busy(void* self, int count) {
    auto* c = static_cast<CSqliteConnection*>(self);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0) c->m_busySince = now;
    const int64_t waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(now - c->m_busySince).count();
    if (waited >= c->m_busyTimeoutMs) return 0;
    pollfd abort{c->m_abortFd, POLLIN, 0};
    const int step = int(std::min<int64_t>(10, c->m_busyTimeoutMs - waited));
    return ::poll(&abort, c->m_abortFd >= 0 ? 1 : 0, step) > 0 ? 0 : 1;
  }

  std::string Failure(const char* what) const {
    return m_file + ": " + what + ": " + sqlite3_errmsg(m_db) +
           (sqlite3_errcode(m_db) == SQLITE_BUSY
                ? " (another writer held the file longer than the busy time-out)"
                : "");
  }

  sqlite3* m_db;
  std::string m_file;
  std::vector<sqlite3_stmt*> m_statements;
  int m_busyTimeoutMs = 0;
  int m_abortFd = -1;
  std::chrono::steady_clock::time_point m_busySince;
};

// A path as the path part of a file: URI.
std::string UriPath(const std::string& path) {
  std::string out;
  for (const unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c < 0x21 || c >= 0x7F) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += char(c);
    }
  }
  return out;
}

}  // namespace

std::unique_ptr<ISqlConnection> OpenSqlite(const std::string& file, const STarget& target,
                                           EOpenMode mode, std::string& error) {
  int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
  if (mode == EOpenMode::kWrite) {
    flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    const std::string folder = file.substr(0, file.rfind('/'));
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
      error = "cannot create " + folder + ": " + std::strerror(errno);
      return nullptr;
    }
  } else {
    flags |= SQLITE_OPEN_READONLY;
    struct stat st;
    if (::stat(file.c_str(), &st) != 0) {
      error = "no catalogue at " + file + ": " + std::strerror(errno) +
              " (the recorder makes it when [catalogue] is configured)";
      return nullptr;
    }
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(file.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    error = "cannot open the catalogue " + file + ": " +
            (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
    sqlite3_close_v2(db);
    return nullptr;
  }
  if (mode == EOpenMode::kRead &&
      sqlite3_exec(db, "SELECT 1 FROM sqlite_master LIMIT 1", nullptr, nullptr, nullptr) !=
          SQLITE_OK &&
      ::access((file + "-wal").c_str(), F_OK) != 0) {
    // A reader that may not write beside the file cannot make the WAL's
    // shared-memory file; with no writer at work (no -wal file) the file is
    // read as it stands.
    sqlite3_close_v2(db);
    db = nullptr;
    if (sqlite3_open_v2(("file:" + UriPath(file) + "?immutable=1").c_str(), &db,
                        flags | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
      error = "cannot open the catalogue " + file + ": " +
              (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
      sqlite3_close_v2(db);
      return nullptr;
    }
  }
  auto connection = std::make_unique<CSqliteConnection>(db, file);
  connection->SetBusy(target.busyTimeoutMs, target.abortFd);
  sqlite3_extended_result_codes(db, 0);
  if (mode == EOpenMode::kWrite) {
    // WAL: readers never wait for the writer and the writer never waits for
    // readers; NORMAL syncs at checkpoints, which WAL keeps consistent.
    if (!connection->Script("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL", error)) {
      return nullptr;
    }
  }
  return connection;
}

}  // namespace qnvcat
