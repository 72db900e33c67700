#include "BenchUtil.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace qnv::bench {

uint64_t MonotonicNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

void SleepUntilNs(uint64_t deadlineNs) {
  timespec ts{time_t(deadlineNs / 1000000000u), long(deadlineNs % 1000000000u)};
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

double CpuSeconds(const struct rusage& u) {
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct rusage SelfUsage() {
  struct rusage u {};
  getrusage(RUSAGE_SELF, &u);
  return u;
}

uint64_t CurrentRssBytes() {
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long size = 0, resident = 0;
  int n = std::fscanf(f, "%lu %lu", &size, &resident);
  std::fclose(f);
  return n == 2 ? uint64_t(resident) * uint64_t(sysconf(_SC_PAGESIZE)) : 0;
}

uint64_t PeakRssKb(int pid) {
  const std::string path =
      pid == 0 ? std::string("/proc/self/status") : "/proc/" + std::to_string(pid) + "/status";
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return 0;
  char line[256];
  unsigned long long kb = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::sscanf(line, "VmHWM: %llu kB", &kb) == 1) break;
  }
  std::fclose(f);
  return kb;
}

namespace {
sockaddr_in LoopbackAddress(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}
}  // namespace

qnvtools::UniqueFd ListenLoopback(uint16_t port) {
  qnvtools::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.Valid()) return fd;
  int one = 1;
  setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = LoopbackAddress(port);
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(fd.Get(), 1024) != 0) {
    fd.Reset();
  }
  return fd;
}

uint16_t LocalPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

qnvtools::UniqueFd ConnectLoopback(uint16_t port, int timeoutMs) {
  const uint64_t deadline = MonotonicNs() + uint64_t(timeoutMs) * 1000000u;
  for (;;) {
    qnvtools::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.Valid()) return fd;
    sockaddr_in a = LoopbackAddress(port);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    // The listener may not be up yet (ffmpeg starts listening after its own
    // start-up): try again until the deadline.
    if (MonotonicNs() >= deadline) return qnvtools::UniqueFd();
    usleep(5000);
  }
}

bool SendAll(int fd, const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= size_t(n);
  }
  return true;
}

bool RecvExact(int fd, void* data, size_t length, int timeoutMs) {
  const uint64_t deadline = MonotonicNs() + uint64_t(timeoutMs) * 1000000u;
  auto* p = static_cast<uint8_t*>(data);
  while (length > 0) {
    const uint64_t now = MonotonicNs();
    if (now >= deadline) return false;
    pollfd pfd{fd, POLLIN, 0};
    int r = ::poll(&pfd, 1, int((deadline - now) / 1000000u) + 1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    ssize_t n = ::recv(fd, p, length, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= size_t(n);
  }
  return true;
}

CResultLine& CResultLine::Add(const std::string& key, double value) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", value);
  m_line += " " + key + "=" + buf;
  return *this;
}

CResultLine& CResultLine::Add(const std::string& key, uint64_t value) {
  m_line += " " + key + "=" + std::to_string(value);
  return *this;
}

CResultLine& CResultLine::Add(const std::string& key, const std::string& value) {
  m_line += " " + key + "=" + value;
  return *this;
}

void CResultLine::Print() {
  std::printf("%s\n", m_line.c_str());
  std::fflush(stdout);
}

bool ParseResultLine(const std::string& line, std::string* what,
                     std::map<std::string, std::string>* values) {
  // Anything in front (a terminal colour reset a library left) is ignored.
  const size_t at = line.find("result ");
  if (at == std::string::npos) return false;
  std::istringstream in(line.substr(at));
  std::string word;
  if (!(in >> word) || word != "result" || !(in >> *what)) return false;
  values->clear();
  while (in >> word) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos) continue;
    (*values)[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return true;
}

}  // namespace qnv::bench
