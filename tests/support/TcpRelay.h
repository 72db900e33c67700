// TcpRelay: a TCP relay from a free port of 127.0.0.1 to a server's port on
// 127.0.0.1, for tests of a server that keeps its connections open but stops
// answering (frozen, or cut off by a network that drops everything). Freeze
// stops forwarding both ways, new connections are accepted and held; Thaw
// goes on. A freeze ends by itself after autoThawMs, so a test whose client
// would wait for ever fails on its own time checks instead of hanging.
// One thread of its own (started by the constructor); owns its sockets.
// Test thread: the constructor, Port, Freeze, Thaw and the destructor.
#ifndef QNV_TESTS_SUPPORT_TCPRELAY_H
#define QNV_TESTS_SUPPORT_TCPRELAY_H

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <utility>
#include <vector>

namespace qnvtest {

class TcpRelay {
 public:
  explicit TcpRelay(uint16_t targetPort) : m_target(targetPort) {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof a;
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::listen(m_listen, 16) == 0 &&
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
      m_port = ntohs(a.sin_port);
    }
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_thread = std::thread([this] { Run(); });
  }
  ~TcpRelay() {
    m_stop = true;
    Wake();
    m_thread.join();
    for (auto& [a, b] : m_pairs) {
      ::close(a);
      ::close(b);
    }
    ::close(m_listen);
    ::close(m_wake);
  }
  TcpRelay(const TcpRelay&) = delete;
  TcpRelay& operator=(const TcpRelay&) = delete;

  uint16_t Port() const { return m_port; }  // 0 when it could not listen
  void Freeze(int autoThawMs = 10000) {
    m_thawAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(autoThawMs);
    m_frozen = true;
    Wake();
  }
  void Thaw() {
    m_frozen = false;
    Wake();
  }

 private:
  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
  }
  void Wake() {
    const uint64_t one = 1;
    (void)!::write(m_wake, &one, sizeof one);
  }
  // Moves what one side sent to the other; false when either is done.
  static bool Forward(int from, int to) {
    char buffer[65536];
    const ssize_t n = ::read(from, buffer, sizeof buffer);
    if (n <= 0) return false;
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = ::write(to, buffer + done, size_t(n - done));
      if (w <= 0) return false;
      done += w;
    }
    return true;
  }
  void Run() {
    while (!m_stop) {
      if (m_frozen && std::chrono::steady_clock::now() >= m_thawAt.load()) m_frozen = false;
      const bool frozen = m_frozen;
      std::vector<pollfd> fds = {{m_wake, POLLIN, 0}, {m_listen, POLLIN, 0}};
      if (!frozen) {
        for (const auto& [a, b] : m_pairs) {
          fds.push_back({a, POLLIN, 0});
          fds.push_back({b, POLLIN, 0});
        }
      }
      if (::poll(fds.data(), fds.size(), frozen ? 20 : 1000) <= 0) continue;
      const size_t polled = frozen ? 0 : m_pairs.size();  // a pair accepted now waits a turn
      if (fds[0].revents != 0) {
        uint64_t n;
        (void)!::read(m_wake, &n, sizeof n);
      }
      if (fds[1].revents != 0) {
        const int client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in to = Loopback(m_target);
        if (client >= 0 && server >= 0 &&
            ::connect(server, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
          m_pairs.emplace_back(client, server);
        } else {
          if (client >= 0) ::close(client);
          if (server >= 0) ::close(server);
        }
      }
      if (frozen) continue;
      std::vector<std::pair<int, int>> kept(m_pairs.begin() + polled, m_pairs.end());
      for (size_t i = 0; i < polled; ++i) {
        const auto [a, b] = m_pairs[i];
        const pollfd& pa = fds[2 + 2 * i];
        const pollfd& pb = fds[3 + 2 * i];
        bool open = true;
        if (pa.revents != 0) open = Forward(a, b);
        if (open && pb.revents != 0) open = Forward(b, a);
        if (open) {
          kept.emplace_back(a, b);
        } else {
          ::close(a);
          ::close(b);
        }
      }
      m_pairs = std::move(kept);
    }
  }

  const uint16_t m_target;
  uint16_t m_port = 0;
  int m_listen = -1, m_wake = -1;
  std::atomic<bool> m_stop{false}, m_frozen{false};
  std::atomic<std::chrono::steady_clock::time_point> m_thawAt{};
  std::vector<std::pair<int, int>> m_pairs;  // relay thread only: client, server
  std::thread m_thread;
};

}  // namespace qnvtest

#endif  // QNV_TESTS_SUPPORT_TCPRELAY_H
