// qnv-devsim-load: holds many logged-in sessions and live streams against a running
// device (normally qnv-devsim) on 127.0.0.1 and reports frame rates, keep-alive results
// and, given the device's process id, its CPU use.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "devsim/WireFormat.h"
#include "qnvtools/CArgReader.h"
#include "qnvtools/ExitStatus.h"

namespace {

using namespace qnv::devsim;
using Clock = std::chrono::steady_clock;

const char kUsage[] =
    "Usage: qnv-devsim-load --port P [options]\n"
    "Logs in many sessions to the device on 127.0.0.1:P, opens live streams on some of\n"
    "them, reads every frame for a while and keeps the sessions alive; then reports.\n"
    "\n"
    "  --port P          command port of the device (required)\n"
    "  --sessions N      sessions to log in (default 500)\n"
    "  --streams N       streams to open, one per session (default 64)\n"
    "  --seconds S       how long to read (default 10)\n"
    "  --fps F           frame rate the device sends, for the expected count (default 25)\n"
    "  --user NAME       (default admin)\n"
    "  --password TEXT   (default admin)\n"
    "  --devsim-pid PID  report that process's CPU use over the run\n"
    "  --help            this text\n"
    "Exit status 0 when every session stayed alive and every stream got at least 90% of\n"
    "its expected pictures.\n";

// Owns one descriptor.
class Socket {
 public:
  Socket() = default;
  ~Socket() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Socket(Socket&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool Connect(uint16_t port) {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{3, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return true;
  }
  bool SendAll(const std::vector<uint8_t>& b) {
    size_t sent = 0;
    while (sent < b.size()) {
      const ssize_t n = ::send(m_fd, b.data() + sent, b.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  bool RecvAll(uint8_t* p, size_t n) {
    size_t got = 0;
    while (got < n) {
      const ssize_t k = ::recv(m_fd, p + got, n - got, 0);
      if (k < 0 && errno == EINTR) continue;
      if (k <= 0) return false;
      got += static_cast<size_t>(k);
    }
    return true;
  }
  // One transaction; the reply's result, or -1 when it failed. Payload to `out`.
  int64_t Transact(uint16_t cls, uint16_t code, uint32_t sid, const std::vector<uint8_t>& payload,
                   uint32_t* replySession, std::vector<uint8_t>* out) {
    if (!SendAll(wire::EncodeRequest(wire::kTransactionHeaderWord, cls, code, sid, payload))) {
      return -1;
    }
    uint8_t prefix[4];
    if (!RecvAll(prefix, 4)) return -1;
    const auto len = wire::DecodePrefix(prefix);
    if (!len || *len < wire::kReplyHeaderSize || *len > wire::kMaxReplyLength) return -1;
    std::vector<uint8_t> rest(*len - 4);
    if (!RecvAll(rest.data(), rest.size())) return -1;
    if (replySession) *replySession = wire::GetU32(rest.data() + wire::kReplySessionOffset - 4);
    if (out) out->assign(rest.begin() + (wire::kReplyPayloadOffset - 4), rest.end());
    return wire::GetU32(rest.data() + wire::kReplyResultOffset - 4);
  }
  int Fd() const { return m_fd; }

 private:
  int m_fd = -1;
};

struct Stream {
  Socket socket;
  std::vector<uint8_t> buffer;
  uint64_t frames = 0, pictures = 0, bytes = 0;
  bool broken = false;
};

// Counts whole frames in the stream's buffer and drops them.
void Consume(Stream& s) {
  size_t at = 0;
  while (s.buffer.size() - at >= wire::kFrameHeaderSize) {
    const uint8_t* h = s.buffer.data() + at;
    if (std::memcmp(h + wire::kFrameMagicOffset, wire::kMagic.data(), 4) != 0) {
      s.broken = true;
      s.buffer.clear();
      return;
    }
    size_t total = wire::kFrameHeaderSize + wire::GetU32(h + wire::kFramePayloadLengthOffset);
    size_t payloadAt = wire::kFrameHeaderSize;
    if (h[wire::kFrameExtFlagOffset] != 0) {
      if (s.buffer.size() - at < wire::kFrameHeaderSize + 4) break;
      const uint32_t n = wire::GetU32(h + wire::kFrameHeaderSize);
      total += 4 + n;
      payloadAt += 4 + n;
    }
    if (s.buffer.size() - at < total) break;
    ++s.frames;
    if (total > payloadAt + 4) {
      const uint8_t type = h[payloadAt + 4] & 0x1f;
      if (type >= 1 && type <= 5) ++s.pictures;
    }
    at += total;
  }
  s.buffer.erase(s.buffer.begin(), s.buffer.begin() + static_cast<std::ptrdiff_t>(at));
}

double ProcessCpuSeconds(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return -1;
  const auto close = line.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(line.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double OwnCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  long port = 0, sessions = 500, streams = 64, seconds = 10, pid = 0;
  double fps = 25;
  std::string user = "admin", password = "admin";
  qnvtools::CArgReader args(argc, argv, "qnv-devsim-load");
  while (args.Next()) {
    const std::string& a = args.Arg();
    std::string v;
    auto num = [&](long& out, long lo, long hi) {
      if (!args.Value(v)) return false;
      char* end = nullptr;
      out = std::strtol(v.c_str(), &end, 10);
      return *end == '\0' && out >= lo && out <= hi;
    };
    bool ok = true;
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return qnvtools::kExitOk;
    } else if (a == "--port") {
      ok = num(port, 1, 65533);
    } else if (a == "--sessions") {
      ok = num(sessions, 1, 100000);
    } else if (a == "--streams") {
      ok = num(streams, 0, 100000);
    } else if (a == "--seconds") {
      ok = num(seconds, 1, 86400);
    } else if (a == "--devsim-pid") {
      ok = num(pid, 1, 1L << 30);
    } else if (a == "--fps") {
      ok = args.Value(v) && (fps = std::strtod(v.c_str(), nullptr)) > 0;
    } else if (a == "--user") {
      ok = args.Value(user);
    } else if (a == "--password") {
      ok = args.Value(password);
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "qnv-devsim-load: bad option %s (see --help)\n", a.c_str());
      return qnvtools::kExitUsage;
    }
  }
  if (port == 0) {
    std::fprintf(stderr, "qnv-devsim-load: --port is required (see --help)\n");
    return qnvtools::kExitUsage;
  }
  if (streams > sessions) streams = sessions;
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }

  std::vector<Socket> commands(static_cast<size_t>(sessions));
  std::vector<uint32_t> ids(commands.size());
  std::vector<uint8_t> login(wire::kLoginPayloadSize, 0);
  std::memcpy(login.data(), user.data(), std::min(user.size(), wire::kLoginFieldSize));
  std::memcpy(login.data() + wire::kLoginPasswordOffset, password.data(),
              std::min(password.size(), wire::kLoginFieldSize));
  for (size_t i = 0; i < commands.size(); ++i) {
    if (!commands[i].Connect(static_cast<uint16_t>(port)) ||
        commands[i].Transact(1, 1, 0, login, &ids[i], nullptr) != 0) {
      std::fprintf(stderr, "qnv-devsim-load: login %zu failed\n", i + 1);
      return qnvtools::kExitFailed;
    }
  }
  std::printf("%ld sessions logged in\n", sessions);

  std::vector<Stream> live(static_cast<size_t>(streams));
  for (size_t i = 0; i < live.size(); ++i) {
    std::vector<uint8_t> reply;
    if (commands[i].Transact(3, 1, ids[i], {}, nullptr, &reply) != 0 || reply.size() < 4) {
      std::fprintf(stderr, "qnv-devsim-load: open stream %zu failed\n", i + 1);
      return qnvtools::kExitFailed;
    }
    std::vector<uint8_t> payload(reply.begin(), reply.begin() + 4);
    if (!live[i].socket.Connect(static_cast<uint16_t>(port + 2)) ||
        !live[i].socket.SendAll(
            wire::EncodeRequest(wire::kOneWayHeaderWord, 3, 5, ids[i], payload))) {
      std::fprintf(stderr, "qnv-devsim-load: attach %zu failed\n", i + 1);
      return qnvtools::kExitFailed;
    }
  }
  std::printf("%ld streams attached; reading for %ld s\n", streams, seconds);
  std::fflush(stdout);

  const double devsimCpu0 = pid ? ProcessCpuSeconds(pid) : 0;
  const double ownCpu0 = OwnCpuSeconds();
  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  auto nextKeepAlive = start + std::chrono::seconds(5);
  size_t keepAliveFailures = 0;
  std::vector<pollfd> fds(live.size());
  for (size_t i = 0; i < live.size(); ++i) fds[i] = {live[i].socket.Fd(), POLLIN, 0};
  std::vector<uint8_t> chunk(65536);
  while (Clock::now() < end) {
    if (Clock::now() >= nextKeepAlive) {
      nextKeepAlive += std::chrono::seconds(5);
      for (size_t i = 0; i < commands.size(); ++i) {
        uint32_t sid = 0;
        if (commands[i].Transact(2, 1, ids[i], {}, &sid, nullptr) != 0 || sid != ids[i]) {
          ++keepAliveFailures;
        }
      }
    }
    if (fds.empty()) {
      usleep(10000);
      continue;
    }
    if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::recv(fds[i].fd, chunk.data(), chunk.size(), 0);
      if (n <= 0) {
        live[i].broken = true;
        fds[i].fd = -1;
        continue;
      }
      live[i].bytes += static_cast<uint64_t>(n);
      live[i].buffer.insert(live[i].buffer.end(), chunk.begin(), chunk.begin() + n);
      Consume(live[i]);
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  uint64_t frames = 0, bytes = 0, minPictures = UINT64_MAX;
  size_t broken = 0;
  for (auto& s : live) {
    frames += s.frames;
    bytes += s.bytes;
    minPictures = std::min(minPictures, s.pictures);
    broken += s.broken ? 1 : 0;
  }
  if (live.empty()) minPictures = 0;
  const double expected = fps * elapsed;
  std::printf(
      "elapsed %.1f s: %llu frames, %.2f Mbit/s in all; pictures per stream at least "
      "%llu (expected about %.0f); %zu broken streams; %zu failed keep-alives\n",
      elapsed, static_cast<unsigned long long>(frames), bytes * 8 / elapsed / 1e6,
      static_cast<unsigned long long>(minPictures), expected, broken, keepAliveFailures);
  if (pid) {
    const double cpu = ProcessCpuSeconds(pid) - devsimCpu0;
    std::printf("device process %ld: %.2f CPU s, %.1f%% of one core\n", pid, cpu,
                100 * cpu / elapsed);
  }
  std::printf("this program: %.1f%% of one core\n", 100 * (OwnCpuSeconds() - ownCpu0) / elapsed);
  const bool ok = broken == 0 && keepAliveFailures == 0 &&
                  (live.empty() || static_cast<double>(minPictures) >= 0.9 * expected);
  return ok ? qnvtools::kExitOk : qnvtools::kExitFailed;
}
