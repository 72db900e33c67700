// A scripted TCP peer on 127.0.0.1 for transport tests: it accepts one
// connection and lets the test write exact bytes, read what arrived, pause
// and close, independently of the library's own code.
#ifndef QNV_TESTS_LOOPBACKPEER_H
#define QNV_TESTS_LOOPBACKPEER_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace qnv::test {

class LoopbackPeer {
 public:
  LoopbackPeer() {
    m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(m_listen, 16);
    socklen_t len = sizeof a;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
  }
  ~LoopbackPeer() {
    Close();
    if (m_listen >= 0) ::close(m_listen);
  }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  uint16_t Port() const { return m_port; }

  bool Accept(int timeoutMs = 3000) {
    pollfd p{m_listen, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    m_conn = ::accept(m_listen, nullptr, nullptr);
    int one = 1;
    setsockopt(m_conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return m_conn >= 0;
  }
  void Write(const std::vector<uint8_t>& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
      ssize_t n = ::send(m_conn, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += size_t(n);
    }
  }
  // Reads exactly n bytes (or fewer when the connection ends or time runs out).
  std::vector<uint8_t> Read(size_t n, int timeoutMs = 3000) {
    std::vector<uint8_t> out;
    while (out.size() < n) {
      pollfd p{m_conn, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) break;
      uint8_t buf[65536];
      ssize_t r = ::recv(m_conn, buf, std::min(sizeof buf, n - out.size()), 0);
      if (r <= 0) break;
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }
  // Bytes available within timeoutMs (0 when silent).
  size_t Pending(int timeoutMs) {
    pollfd p{m_conn, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return 0;
    uint8_t buf[65536];
    ssize_t r = ::recv(m_conn, buf, sizeof buf, MSG_DONTWAIT | MSG_PEEK);
    return r > 0 ? size_t(r) : 0;
  }
  void Close() {
    int fd = m_conn.exchange(-1);
    if (fd >= 0) ::close(fd);
  }
  // Ends the connection for a script thread blocked on it, without closing
  // the descriptor under that thread.
  void Shutdown() {
    int fd = m_conn.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  }

 private:
  int m_listen = -1;
  std::atomic<int> m_conn{-1};  // a script thread may accept while the test shuts down
  uint16_t m_port = 0;
};

// A reply message as a device sends it: prefix, header word 1, "QNVV", class,
// code, result, session id, payload.
inline std::vector<uint8_t> MakeReply(uint16_t cls, uint16_t code, uint32_t result,
                                      uint32_t session, const std::vector<uint8_t>& payload = {}) {
  uint32_t len = uint32_t(24 + payload.size());
  std::vector<uint8_t> m = {uint8_t(len >> 16), uint8_t(len >> 8), uint8_t(len), 0};
  m[3] = uint8_t(m[0] ^ m[1] ^ m[2]);
  for (uint8_t b : {1, 0, 0, 0}) m.push_back(b);
  for (char c : std::string("QNVV")) m.push_back(uint8_t(c));
  m.push_back(uint8_t(cls));
  m.push_back(uint8_t(cls >> 8));
  m.push_back(uint8_t(code));
  m.push_back(uint8_t(code >> 8));
  for (int i = 0; i < 4; ++i) m.push_back(uint8_t(result >> (8 * i)));
  for (int i = 0; i < 4; ++i) m.push_back(uint8_t(session >> (8 * i)));
  m.insert(m.end(), payload.begin(), payload.end());
  return m;
}

inline int CountOpenDescriptors() {
  int n = 0;
  for (int fd = 0; fd < 4096; ++fd)
    if (fcntl(fd, F_GETFD) != -1) ++n;
  return n;
}

}  // namespace qnv::test

#endif  // QNV_TESTS_LOOPBACKPEER_H
