#include "TestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace qnv::devsim::test {

Bytes BuildRequest(uint32_t headerWord, uint16_t cls, uint16_t code, uint32_t sessionId,
                   const Bytes& payload) {
  const uint32_t length = static_cast<uint32_t>(20 + payload.size());
  Bytes m;
  m.push_back(static_cast<uint8_t>(length >> 16));
  m.push_back(static_cast<uint8_t>(length >> 8));
  m.push_back(static_cast<uint8_t>(length));
  m.push_back(static_cast<uint8_t>(m[0] ^ m[1] ^ m[2]));
  for (int i = 0; i < 4; ++i) m.push_back(static_cast<uint8_t>(headerWord >> (8 * i)));
  for (char c : std::string("QNVV")) m.push_back(static_cast<uint8_t>(c));
  m.push_back(static_cast<uint8_t>(cls));
  m.push_back(static_cast<uint8_t>(cls >> 8));
  m.push_back(static_cast<uint8_t>(code));
  m.push_back(static_cast<uint8_t>(code >> 8));
  for (int i = 0; i < 4; ++i) m.push_back(static_cast<uint8_t>(sessionId >> (8 * i)));
  m.insert(m.end(), payload.begin(), payload.end());
  return m;
}

Bytes LoginPayload(const std::string& user, const std::string& password) {
  Bytes p(32, 0);
  std::memcpy(p.data(), user.data(), std::min<size_t>(user.size(), 16));
  std::memcpy(p.data() + 16, password.data(), std::min<size_t>(password.size(), 16));
  return p;
}

Bytes U32s(std::initializer_list<uint32_t> values) {
  Bytes b;
  for (uint32_t v : values) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return b;
}

uint32_t U32At(const Bytes& b, size_t offset) {
  return static_cast<uint32_t>(b[offset]) | (static_cast<uint32_t>(b[offset + 1]) << 8) |
         (static_cast<uint32_t>(b[offset + 2]) << 16) |
         (static_cast<uint32_t>(b[offset + 3]) << 24);
}

TestClient::~TestClient() { Close(); }

TestClient::TestClient(TestClient&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

bool TestClient::Connect(uint16_t port, int receiveBuffer) {
  Close();
  m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_fd < 0) return false;
  if (receiveBuffer > 0) {
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    Close();
    return false;
  }
  int one = 1;
  ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return true;
}

void TestClient::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

bool TestClient::Send(const Bytes& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool TestClient::ReadableBefore(std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd p{m_fd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    return r > 0;
  }
}

bool TestClient::ReadExact(size_t n, Bytes& out, int timeoutMs) {
  out.assign(n, 0);
  size_t got = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got < n) {
    if (!ReadableBefore(deadline)) return false;
    const ssize_t k = ::recv(m_fd, out.data() + got, n - got, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    got += static_cast<size_t>(k);
  }
  return true;
}

std::optional<Reply> TestClient::ReadReply(int timeoutMs) {
  Bytes prefix;
  if (!ReadExact(4, prefix, timeoutMs)) return std::nullopt;
  Reply r;
  r.length = (static_cast<uint32_t>(prefix[0]) << 16) | (static_cast<uint32_t>(prefix[1]) << 8) |
             prefix[2];
  if (r.length < 4) return std::nullopt;
  Bytes rest;
  if (!ReadExact(r.length - 4, rest, timeoutMs)) return std::nullopt;
  r.raw = prefix;
  r.raw.insert(r.raw.end(), rest.begin(), rest.end());
  // Fields past the received length read as zero, as in the host's cleared reply area.
  Bytes area = r.raw;
  if (area.size() < 24) area.resize(24, 0);
  r.cls = static_cast<uint16_t>(area[12] | (area[13] << 8));
  r.code = static_cast<uint16_t>(area[14] | (area[15] << 8));
  r.result = U32At(area, 16);
  r.sessionId = U32At(area, 20);
  if (r.raw.size() > 24) r.payload.assign(r.raw.begin() + 24, r.raw.end());
  return r;
}

std::optional<Reply> TestClient::Transact(uint16_t cls, uint16_t code, uint32_t sessionId,
                                          const Bytes& payload, int timeoutMs) {
  if (!Send(BuildRequest(kTransactionWord, cls, code, sessionId, payload))) return std::nullopt;
  return ReadReply(timeoutMs);
}

std::optional<Frame> TestClient::ReadFrame(int timeoutMs) {
  Frame f;
  if (!ReadExact(40, f.header, timeoutMs)) return std::nullopt;
  if (f.header[36] != 0) {
    Bytes n;
    if (!ReadExact(4, n, timeoutMs)) return std::nullopt;
    Bytes body;
    if (!ReadExact(U32At(n, 0), body, timeoutMs)) return std::nullopt;
    f.ext = n;
    f.ext.insert(f.ext.end(), body.begin(), body.end());
  }
  if (!ReadExact(U32At(f.header, 12), f.payload, timeoutMs)) return std::nullopt;
  return f;
}

bool TestClient::WaitClosed(int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  uint8_t buf[65536];
  for (;;) {
    if (!ReadableBefore(deadline)) return false;
    const ssize_t k = ::recv(m_fd, buf, sizeof buf, 0);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return true;
  }
}

bool TestClient::Quiet(int ms) {
  pollfd p{m_fd, POLLIN, 0};
  return ::poll(&p, 1, ms) == 0;
}

size_t TestClient::Drain(int quietMs) {
  size_t total = 0;
  uint8_t buf[65536];
  for (;;) {
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, quietMs) <= 0) return total;
    const ssize_t k = ::recv(m_fd, buf, sizeof buf, 0);
    if (k <= 0) return total;
    total += static_cast<size_t>(k);
  }
}

bool LoginClient(TestClient& client, uint16_t port, uint32_t& sessionId, const std::string& user,
                 const std::string& password) {
  if (!client.Connect(port)) return false;
  auto r = client.Transact(1, 1, 0, LoginPayload(user, password));
  if (!r || r->result != 0) return false;
  sessionId = r->sessionId;
  return true;
}

}  // namespace qnv::devsim::test
