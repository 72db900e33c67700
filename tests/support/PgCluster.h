// PgCluster: a throw-away PostgreSQL cluster for tests and benchmarks,
// started from Debian's postgresql package: initdb into a temporary folder
// (as the unprivileged user `nobody` when this process runs as root, since
// the server refuses to run as root), the server on a free port of
// 127.0.0.1 with password (SCRAM) authentication and its socket in that
// folder, stopped and removed when the object goes. One thread; owns the
// server process and the folder.
#ifndef QNV_TESTS_SUPPORT_PGCLUSTER_H
#define QNV_TESTS_SUPPORT_PGCLUSTER_H

#include <cstdint>
#include <string>

namespace qnvtest {

class PgCluster {
 public:
  PgCluster() = default;
  ~PgCluster();
  PgCluster(const PgCluster&) = delete;
  PgCluster& operator=(const PgCluster&) = delete;

  // The folder of initdb, pg_ctl and postgres; empty when the server is not
  // installed (apt-get install postgresql).
  static std::string BinDir();

  // durable: keep fsync on (benchmarks measure what users run); tests turn
  // it off for speed. False with a message.
  bool Start(std::string& error, bool durable = false);
  // Stops the server, keeping its data; StartServer starts it again on the
  // same port (a database that goes away and comes back).
  bool StopServer(std::string& error);
  bool StartServer(std::string& error);

  // A new empty database and its URL (without the password).
  bool NewDatabase(std::string& url, std::string& error);
  const std::string& Password() const { return m_password; }
  const std::string& Dir() const { return m_dir; }
  uint16_t Port() const { return m_port; }
  // The server's own CPU time so far (all its processes), in seconds.
  double ServerCpuSeconds() const;

 private:
  bool Run(const std::string& program, const std::string& args, std::string& error);
  std::string Url(const std::string& database) const;

  std::string m_bin, m_dir, m_password = "qnv-test-password";
  uint16_t m_port = 0;
  bool m_running = false;
  bool m_durable = false;
  int m_databases = 0;
};

}  // namespace qnvtest

#endif  // QNV_TESTS_SUPPORT_PGCLUSTER_H
