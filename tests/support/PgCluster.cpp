#include "support/PgCluster.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "qnvctl/ChildProcess.h"

namespace fs = std::filesystem;

namespace qnvtest {
namespace {

uint16_t FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

std::string PgCluster::BinDir() {
  std::vector<std::string> dirs;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/usr/lib/postgresql", ec)) {
    if (fs::exists(e.path() / "bin" / "pg_ctl", ec) &&
        fs::exists(e.path() / "bin" / "initdb", ec)) {
      dirs.push_back((e.path() / "bin").string());
    }
  }
  std::sort(dirs.begin(), dirs.end());
  return dirs.empty() ? std::string() : dirs.back();
}

PgCluster::~PgCluster() {
  std::string error;
  if (m_running) {
    Run("pg_ctl", "-D " + m_dir + "/data -m immediate -w stop", error);
  }
  if (!m_dir.empty()) {
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }
}

bool PgCluster::Run(const std::string& program, const std::string& args, std::string& error) {
  // The server will not run as root: its programs run as nobody then.
  std::vector<std::string> argv;
  if (::geteuid() == 0) argv = {"/usr/sbin/runuser", "-u", "nobody", "--"};
  argv.push_back(m_bin + "/" + program);
  std::istringstream words(args);
  for (std::string w; words >> w;) argv.push_back(w);
  const ChildResult r = ChildProcess::Run(argv, 120000, {{"LC_ALL", "C"}});
  if (r.exitCode != 0) {
    error = program + " failed (exit " + std::to_string(r.exitCode) + "): " + r.err + r.out;
    return false;
  }
  return true;
}

bool PgCluster::Start(std::string& error, bool durable) {
  m_durable = durable;
  m_bin = BinDir();
  if (m_bin.empty()) {
    error = "the PostgreSQL server is not installed (apt-get install postgresql)";
    return false;
  }
  char pattern[] = "/tmp/qnv-pg-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    error = "mkdtemp failed";
    return false;
  }
  m_dir = pattern;
  if (::geteuid() == 0 && ::chown(m_dir.c_str(), 65534, 65534) != 0) {
    error = "cannot hand " + m_dir + " to nobody";
    return false;
  }
  const std::string pwfile = m_dir + "/pw";
  std::ofstream(pwfile) << m_password << "\n";
  if (::geteuid() == 0 && ::chown(pwfile.c_str(), 65534, 65534) != 0) {
    error = "cannot hand the password file to nobody";
    return false;
  }
  if (!Run("initdb",
           "-D " + m_dir +
               "/data -U qnv --auth-local=trust --auth-host=scram-sha-256 "
               "--pwfile=" +
               pwfile + " -E UTF8 --no-locale --no-sync",
           error)) {
    return false;
  }
  for (int attempt = 0; attempt < 5; ++attempt) {
    m_port = FreePort();
    if (StartServer(error)) return true;
  }
  return false;
}

bool PgCluster::StartServer(std::string& error) {
  std::string options = "-p " + std::to_string(m_port) + " -k " + m_dir +
                        " -c listen_addresses=127.0.0.1 -c max_connections=40";
  if (!m_durable) options += " -c fsync=off -c synchronous_commit=off -c full_page_writes=off";
  // pg_ctl takes the server's options as one argument: quotes keep it whole.
  std::vector<std::string> argv;
  if (::geteuid() == 0) argv = {"/usr/sbin/runuser", "-u", "nobody", "--"};
  argv.insert(argv.end(), {m_bin + "/pg_ctl", "-D", m_dir + "/data", "-l", m_dir + "/log", "-w",
                           "-t", "60", "-o", options, "start"});
  const ChildResult r = ChildProcess::Run(argv, 90000, {{"LC_ALL", "C"}});
  if (r.exitCode != 0) {
    error = "pg_ctl start failed: " + r.err + r.out + Slurp(m_dir + "/log");
    return false;
  }
  m_running = true;
  return true;
}

bool PgCluster::StopServer(std::string& error) {
  if (!Run("pg_ctl", "-D " + m_dir + "/data -m fast -w stop", error)) return false;
  m_running = false;
  return true;
}

std::string PgCluster::Url(const std::string& database) const {
  return "postgresql://qnv@127.0.0.1:" + std::to_string(m_port) + "/" + database;
}

bool PgCluster::NewDatabase(std::string& url, std::string& error) {
  const std::string name = "t" + std::to_string(++m_databases);
  const std::string conninfo = Url("postgres") + "?password=" + m_password;
  PGconn* c = PQconnectdb(conninfo.c_str());
  bool ok = PQstatus(c) == CONNECTION_OK;
  if (ok) {
    PGresult* r = PQexec(c, ("CREATE DATABASE " + name).c_str());
    ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok) error = PQresultErrorMessage(r);
    PQclear(r);
  } else {
    error = PQerrorMessage(c);
  }
  PQfinish(c);
  url = Url(name);
  return ok;
}

double PgCluster::ServerCpuSeconds() const {
  // Every process whose command line names this cluster's data folder.
  double total = 0;
  const long ticks = ::sysconf(_SC_CLK_TCK);
  std::error_code ec;
  const std::string mark = Slurp(m_dir + "/data/postmaster.pid");
  const int postmaster = std::atoi(mark.c_str());
  for (const auto& e : fs::directory_iterator("/proc", ec)) {
    const std::string pid = e.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = Slurp("/proc/" + pid + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::string state;
    long ppid = 0;
    fields >> state >> ppid;
    if (std::atoi(pid.c_str()) != postmaster && ppid != postmaster) continue;
    std::string skip;
    for (int i = 0; i < 9; ++i) fields >> skip;  // to utime (field 14)
    unsigned long long utime = 0, stime = 0;
    fields >> utime >> stime;
    total += double(utime + stime) / double(ticks);
  }
  return total;
}

}  // namespace qnvtest
