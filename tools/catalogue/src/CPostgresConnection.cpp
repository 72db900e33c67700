// The catalogue's PostgreSQL connection (libpq): one database for a fleet of
// recorders. Bounded waits: a connect time-out, a statement time-out and TCP
// keep-alives, so a database that vanishes fails a write instead of holding
// the writer; statements prepared once per connection.
#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>

#include "SqlConnection.h"

namespace qnvcat {
namespace {

class CPgRow : public IRow {
 public:
  CPgRow(const PGresult* result, int row) : m_result(result), m_row(row) {}
  bool IsNull(int column) const override { return PQgetisnull(m_result, m_row, column) != 0; }
  int64_t Int(int column) const override {
    return std::strtoll(PQgetvalue(m_result, m_row, column), nullptr, 10);
  }
  std::string Text(int column) const override {
    return std::string(PQgetvalue(m_result, m_row, column),
                       size_t(PQgetlength(m_result, m_row, column)));
  }

 private:
  const PGresult* m_result;
  int m_row;
};

struct SResultFree {
  void operator()(PGresult* r) const { PQclear(r); }
};
using UniqueResult = std::unique_ptr<PGresult, SResultFree>;

// Owns the connection.
class CPostgresConnection : public ISqlConnection {
 public:
  CPostgresConnection(PGconn* conn, std::string where) : m_conn(conn), m_where(std::move(where)) {}
  ~CPostgresConnection() override { PQfinish(m_conn); }

  const char* Backend() const override { return "postgresql"; }
  const SDialect& Dialect() const override {
    static const SDialect dialect{
        "BIGSERIAL PRIMARY KEY", "GREATEST",
        "SELECT 1 FROM pg_tables WHERE schemaname = current_schema() AND tablename = $1"};
    return dialect;
  }

  bool Exec(int slot, const std::string& sql, const std::vector<SValue>& values, const RowFn& row,
            std::string& error) override {
    if (size_t(slot) >= m_prepared.size()) m_prepared.resize(size_t(slot) + 1, false);
    std::string name = std::to_string(slot);
    name.insert(0, 1, 'q');
    if (!m_prepared[size_t(slot)]) {
      UniqueResult r(PQprepare(m_conn, name.c_str(), sql.c_str(), 0, nullptr));
      if (!Ok(r.get(), PGRES_COMMAND_OK, "cannot prepare a statement", error)) return false;
      m_prepared[size_t(slot)] = true;
    }
    std::vector<std::string> numbers(values.size());
    std::vector<const char*> texts(values.size(), nullptr);
    std::vector<int> lengths(values.size(), 0);
    for (size_t i = 0; i < values.size(); ++i) {
      const SValue& v = values[i];
      if (v.type == SValue::EType::kInt) {
        numbers[i] = std::to_string(v.integer);
        texts[i] = numbers[i].c_str();
        lengths[i] = int(numbers[i].size());
      } else if (v.type == SValue::EType::kText) {
        numbers[i].assign(v.text);  // NUL-terminated for libpq
        texts[i] = numbers[i].c_str();
        lengths[i] = int(numbers[i].size());
      }
    }
    UniqueResult r(PQexecPrepared(m_conn, name.c_str(), int(values.size()), texts.data(),
                                  lengths.data(), nullptr, 0));
    const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    if (!Ok(r.get(), status == PGRES_TUPLES_OK ? PGRES_TUPLES_OK : PGRES_COMMAND_OK,
            "statement failed", error)) {
      return false;
    }
    if (row && status == PGRES_TUPLES_OK) {
      const int n = PQntuples(r.get());
      for (int i = 0; i < n; ++i) row(CPgRow(r.get(), i));
    }
    return true;
  }

  bool Script(const std::string& sql, std::string& error) override {
    UniqueResult r(PQexec(m_conn, sql.c_str()));
    const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    return Ok(r.get(), status == PGRES_TUPLES_OK ? PGRES_TUPLES_OK : PGRES_COMMAND_OK,
              "statement failed", error);
  }

  bool Begin(bool, std::string& error) override { return Script("BEGIN", error); }
  bool Commit(std::string& error) override { return Script("COMMIT", error); }
  void Rollback() override {
    if (PQstatus(m_conn) == CONNECTION_OK && PQtransactionStatus(m_conn) != PQTRANS_IDLE) {
      UniqueResult r(PQexec(m_conn, "ROLLBACK"));
    }
  }
  EFailure LastFailure() const override {
    return PQstatus(m_conn) != CONNECTION_OK ? EFailure::kBroken : m_failure;
  }
  bool LockSchema(std::string& error) override {
    return Script("SELECT pg_advisory_xact_lock(7161247)", error);  // any constant of our own
  }

 private:
  bool Ok(const PGresult* r, ExecStatusType expected, const char* what, std::string& error) {
    const ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
    if (status == expected) {
      m_failure = EFailure::kNone;
      return true;
    }
    const char* state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    std::string message = r ? PQresultErrorMessage(r) : "";
    if (message.empty()) message = PQerrorMessage(m_conn);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
      message.pop_back();
    }
    error = m_where + ": " + what + ": " + message;
    // SQLSTATE classes 08 (connection), 40 (serialisation, deadlock), 53
    // (resources), 57 (time-out, shutdown): another try may succeed.
    const bool retry = state == nullptr || std::strncmp(state, "08", 2) == 0 ||
                       std::strncmp(state, "40", 2) == 0 || std::strncmp(state, "53", 2) == 0 ||
                       std::strncmp(state, "57", 2) == 0;
    m_failure = retry ? EFailure::kTransient : EFailure::kRejected;
    return false;
  }

  PGconn* m_conn;
  std::string m_where;
  std::vector<bool> m_prepared;
  EFailure m_failure = EFailure::kNone;
};

void IgnoreNotice(void*, const char*) {}

}  // namespace

std::unique_ptr<ISqlConnection> OpenPostgres(const STarget& target, std::string& error) {
  const std::string timeout = std::to_string(target.connectTimeoutSeconds);
  std::string options = "-c statement_timeout=";
  options += std::to_string(target.statementTimeoutMs);
  // Defaults first: what the URL says overrides them; an explicit password
  // overrides the URL's.
  std::vector<const char*> keys = {
      "connect_timeout",     "options",          "keepalives",       "keepalives_idle",
      "keepalives_interval", "keepalives_count", "application_name", "dbname"};
  std::vector<const char*> values = {
      timeout.c_str(),         options.c_str(), "1", "10", "5", "3", target.applicationName.c_str(),
      target.rootOrUrl.c_str()};
  if (!target.password.empty()) {
    keys.push_back("password");
    values.push_back(target.password.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  PGconn* conn = PQconnectdbParams(keys.data(), values.data(), 1);
  const std::string where = DescribeTarget(target.rootOrUrl);
  if (conn == nullptr) {
    error = "cannot connect to " + where + ": out of memory";
    return nullptr;
  }
  if (PQstatus(conn) != CONNECTION_OK) {
    std::string message = PQerrorMessage(conn);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
      message.pop_back();
    }
    error = "cannot connect to " + where + ": " + message;
    PQfinish(conn);
    return nullptr;
  }
  PQsetNoticeProcessor(conn, &IgnoreNotice, nullptr);
  return std::make_unique<CPostgresConnection>(conn, where);
}

}  // namespace qnvcat
