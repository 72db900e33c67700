// The catalogue's PostgreSQL connection (libpq): one database for a fleet of
// recorders. Every call is bounded in time on the client's side: libpq is
// used without blocking (PQconnectPoll, PQsendQuery*, PQconsumeInput) and
// each wait is a poll on its socket with a deadline and the stop's abort
// descriptor, since libpq itself waits for ever on a server that keeps the
// connection open but stops answering. A call that runs out of time gives
// the connection up (its state is unknown). The server's statement time-out,
// TCP keep-alives and a TCP user time-out bound the rest; statements are
// prepared once per connection.
#include <libpq-fe.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>

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

using Clock = std::chrono::steady_clock;

enum class EWait { kReady, kTimedOut, kAborted };

// Waits until the socket is ready as asked, the deadline passes or abortFd
// becomes readable. An error on the socket counts as ready: libpq tells it.
EWait WaitSocket(int socket, bool read, bool write, int abortFd, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return EWait::kTimedOut;
    pollfd fds[2] = {{socket, short((read ? POLLIN : 0) | (write ? POLLOUT : 0)), 0},
                     {abortFd, POLLIN, 0}};
    const int n = ::poll(fds, abortFd >= 0 ? 2 : 1, int(std::min<int64_t>(left, 60000)));
    if (n < 0 && errno == EINTR) continue;
    if (abortFd >= 0 && n > 0 && (fds[1].revents & POLLIN) != 0) return EWait::kAborted;
    if (n != 0) return EWait::kReady;
  }
}

std::string WaitText(EWait wait, int timeoutMs) {
  return wait == EWait::kAborted ? std::string("given up (stopping)")
                                 : "no answer within " + std::to_string(timeoutMs) + " ms";
}

// Owns the connection.
class CPostgresConnection : public ISqlConnection {
 public:
  CPostgresConnection(PGconn* conn, std::string where, const STarget& target)
      : m_conn(conn),
        m_where(std::move(where)),
        m_callTimeoutMs(target.callTimeoutMs),
        m_abortFd(target.abortFd) {}
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
      UniqueResult r;
      if (!Call([&] { return PQsendPrepare(m_conn, name.c_str(), sql.c_str(), 0, nullptr); },
                "cannot prepare a statement", r, error) ||
          !Ok(r.get(), PGRES_COMMAND_OK, "cannot prepare a statement", error)) {
        return false;
      }
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
    UniqueResult r;
    if (!Call(
            [&] {
              return PQsendQueryPrepared(m_conn, name.c_str(), int(values.size()), texts.data(),
                                         lengths.data(), nullptr, 0);
            },
            "statement failed", r, error)) {
      return false;
    }
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
    UniqueResult r;
    if (!Call([&] { return PQsendQuery(m_conn, sql.c_str()); }, "statement failed", r, error)) {
      return false;
    }
    const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
    return Ok(r.get(), status == PGRES_TUPLES_OK ? PGRES_TUPLES_OK : PGRES_COMMAND_OK,
              "statement failed", error);
  }

  bool Begin(bool, std::string& error) override { return Script("BEGIN", error); }
  bool Commit(std::string& error) override { return Script("COMMIT", error); }
  void Rollback() override {
    if (!m_gaveUp && PQstatus(m_conn) == CONNECTION_OK &&
        PQtransactionStatus(m_conn) != PQTRANS_IDLE) {
      UniqueResult r;
      std::string ignored;
      Call([&] { return PQsendQuery(m_conn, "ROLLBACK"); }, "rollback", r, ignored);
    }
  }
  EFailure LastFailure() const override {
    return m_gaveUp || PQstatus(m_conn) != CONNECTION_OK ? EFailure::kBroken : m_failure;
  }
  bool LockSchema(std::string& error) override {
    return Script("SELECT pg_advisory_xact_lock(7161247)", error);  // any constant of our own
  }

 private:
  // Sends a request (send: a PQsend* call) and reads every result it brings,
  // each wait bounded by the call's deadline and the abort descriptor. The
  // first failed result is kept, else the last. False with error when no
  // result came: the connection broke, or it ran out of time or was aborted
  // (then it is given up: what it was doing is unknown).
  bool Call(const std::function<int()>& send, const char* what, UniqueResult& result,
            std::string& error) {
    result.reset();
    if (m_gaveUp) {
      error = m_where + ": " + what + ": the connection was given up";
      return false;
    }
    if (send() == 0) return Ok(nullptr, PGRES_COMMAND_OK, what, error);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_callTimeoutMs);
    auto giveUp = [&](EWait wait) {
      m_gaveUp = true;
      m_failure = EFailure::kTransient;
      error = m_where + ": " + what + ": " + WaitText(wait, m_callTimeoutMs);
      return false;
    };
    // What libpq could not send at once goes as the socket takes it.
    for (;;) {
      const int flushed = PQflush(m_conn);
      if (flushed == 0) break;
      if (flushed < 0) return Ok(nullptr, PGRES_COMMAND_OK, what, error);
      if (PQsocket(m_conn) < 0) return Ok(nullptr, PGRES_COMMAND_OK, what, error);
      const EWait wait = WaitSocket(PQsocket(m_conn), true, true, m_abortFd, deadline);
      if (wait != EWait::kReady) return giveUp(wait);
      if (PQconsumeInput(m_conn) == 0) return Ok(nullptr, PGRES_COMMAND_OK, what, error);
    }
    for (;;) {
      while (PQisBusy(m_conn) != 0) {
        if (PQsocket(m_conn) < 0) return Ok(nullptr, PGRES_COMMAND_OK, what, error);
        const EWait wait = WaitSocket(PQsocket(m_conn), true, false, m_abortFd, deadline);
        if (wait != EWait::kReady) return giveUp(wait);
        if (PQconsumeInput(m_conn) == 0) return Ok(nullptr, PGRES_COMMAND_OK, what, error);
      }
      UniqueResult next(PQgetResult(m_conn));
      if (!next) break;
      const ExecStatusType kept = result ? PQresultStatus(result.get()) : PGRES_COMMAND_OK;
      if (!result || kept == PGRES_COMMAND_OK || kept == PGRES_TUPLES_OK) result = std::move(next);
    }
    if (!result) return Ok(nullptr, PGRES_COMMAND_OK, what, error);
    return true;
  }

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
  const int m_callTimeoutMs;
  const int m_abortFd;
  bool m_gaveUp = false;  // a call ran out of time or was aborted: the state is unknown
  std::vector<bool> m_prepared;
  EFailure m_failure = EFailure::kNone;
};

void IgnoreNotice(void*, const char*) {}

}  // namespace

std::unique_ptr<ISqlConnection> OpenPostgres(const STarget& target, std::string& error) {
  const std::string timeout = std::to_string(target.connectTimeoutSeconds);
  const std::string userTimeout = std::to_string(target.callTimeoutMs);
  std::string options = "-c statement_timeout=";
  options += std::to_string(target.statementTimeoutMs);
  // Defaults first: what the URL says overrides them; an explicit password
  // overrides the URL's.
  std::vector<const char*> keys = {"connect_timeout",
                                   "options",
                                   "keepalives",
                                   "keepalives_idle",
                                   "keepalives_interval",
                                   "keepalives_count",
                                   "tcp_user_timeout",
                                   "application_name",
                                   "dbname"};
  std::vector<const char*> values = {timeout.c_str(),
                                     options.c_str(),
                                     "1",
                                     "10",
                                     "5",
                                     "3",
                                     userTimeout.c_str(),
                                     target.applicationName.c_str(),
                                     target.rootOrUrl.c_str()};
  if (!target.password.empty()) {
    keys.push_back("password");
    values.push_back(target.password.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  const std::string where = DescribeTarget(target.rootOrUrl);
  auto failed = [&](PGconn* conn, const std::string& why) -> std::unique_ptr<ISqlConnection> {
    error = "cannot connect to " + where + ": " + ScrubPasswords(why, target.rootOrUrl);
    PQfinish(conn);
    return nullptr;
  };
  // Made step by step, each wait on the socket bounded: libpq's own
  // connect_timeout is kept only by its blocking calls.
  PGconn* conn = PQconnectStartParams(keys.data(), values.data(), 1);
  if (conn == nullptr) return failed(nullptr, "out of memory");
  const int64_t connectMs = int64_t(target.connectTimeoutSeconds) * 1000;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(connectMs);
  PostgresPollingStatusType step =
      PQstatus(conn) == CONNECTION_BAD ? PGRES_POLLING_FAILED : PGRES_POLLING_WRITING;
  while (step != PGRES_POLLING_OK && step != PGRES_POLLING_FAILED) {
    const int socket = PQsocket(conn);
    if (socket < 0) break;
    const EWait wait = WaitSocket(socket, step == PGRES_POLLING_READING,
                                  step == PGRES_POLLING_WRITING, target.abortFd, deadline);
    if (wait != EWait::kReady) return failed(conn, WaitText(wait, int(connectMs)));
    step = PQconnectPoll(conn);
  }
  if (PQstatus(conn) != CONNECTION_OK) {
    std::string message = PQerrorMessage(conn);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
      message.pop_back();
    }
    return failed(conn, message);
  }
  PQsetNoticeProcessor(conn, &IgnoreNotice, nullptr);
  if (PQsetnonblocking(conn, 1) != 0) return failed(conn, PQerrorMessage(conn));
  return std::make_unique<CPostgresConnection>(conn, where, target);
}

}  // namespace qnvcat
