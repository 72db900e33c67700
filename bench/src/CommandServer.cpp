#include "CommandServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "BenchUtil.h"
#include "devsim/WireFormat.h"

namespace qnv::bench {

namespace wire = devsim::wire;

namespace {
using wire::kClassLive;
using wire::kClassLogin;
using wire::kClassSystem;
using wire::kCodeKeepAlive;
using wire::kCodeOpenStream;
constexpr size_t kReadChunk = 4096;
}  // namespace

CCommandServer::~CCommandServer() { Stop(); }

bool CCommandServer::Start(qnvtools::UniqueFd listener) {
  m_listener = std::move(listener);
  m_wake.Reset(eventfd(0, EFD_CLOEXEC));
  if (!m_listener.Valid() || !m_wake.Valid()) return false;
  m_thread = std::thread(&CCommandServer::Run, this);
  return true;
}

void CCommandServer::Stop() {
  if (!m_thread.joinable()) return;
  m_stop.store(true);
  uint64_t one = 1;
  (void)!write(m_wake.Get(), &one, sizeof one);
  m_thread.join();
}

bool CCommandServer::Serve(SConnection& c) {
  size_t used = 0;
  while (c.input.size() - used >= wire::kPrefixSize) {
    const std::optional<uint32_t> length = wire::DecodePrefix(c.input.data() + used);
    if (!length || *length < wire::kRequestHeaderSize || *length > wire::kMaxRequestLength)
      return false;
    if (c.input.size() - used < *length) break;
    const uint64_t readNs = MonotonicNs();
    std::optional<wire::Request> request =
        wire::ParseRequest(std::span<const uint8_t>(c.input.data() + used, *length));
    used += *length;
    if (!request) return false;
    uint8_t payload[4] = {};
    size_t payloadLength = 0;
    if (request->cls == kClassLogin) {
      c.sessionId = m_nextSession++;
      ++m_logins;
    } else if (request->cls == kClassLive && request->code == kCodeOpenStream) {
      wire::PutU32(payload, ++m_nextStream);
      payloadLength = sizeof payload;
    }
    if (request->headerWord == wire::kOneWayHeaderWord) continue;  // no reply
    const std::vector<uint8_t> reply =
        wire::EncodeReply(request->cls, request->code, 0, c.sessionId,
                          std::span<const uint8_t>(payload, payloadLength));
    if (!SendAll(c.fd.Get(), reply.data(), reply.size())) return false;
    if (request->cls == kClassSystem && request->code == kCodeKeepAlive) {
      if (m_keepAlives.count++ == 0) m_keepAlives.firstNs = readNs;
      m_keepAlives.lastNs = MonotonicNs();
    }
  }
  c.input.erase(c.input.begin(), c.input.begin() + ptrdiff_t(used));
  return true;
}

void CCommandServer::Run() {
  std::vector<std::unique_ptr<SConnection>> connections;
  std::vector<pollfd> fds;
  uint8_t chunk[kReadChunk];
  while (!m_stop.load()) {
    fds.clear();
    fds.push_back({m_wake.Get(), POLLIN, 0});
    fds.push_back({m_listener.Get(), POLLIN, 0});
    for (const auto& c : connections) fds.push_back({c->fd.Get(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      int fd = ::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        auto c = std::make_unique<SConnection>();
        c->fd.Reset(fd);
        connections.push_back(std::move(c));
      }
    }
    // Indices 2.. match the connections polled this turn; a connection
    // accepted above is polled from the next turn on.
    size_t polled = fds.size() - 2;
    std::vector<bool> dead(connections.size(), false);
    for (size_t i = 0; i < polled; ++i) {
      if (fds[i + 2].revents == 0) continue;
      SConnection& c = *connections[i];
      ssize_t n = ::recv(c.fd.Get(), chunk, sizeof chunk, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        dead[i] = true;
        continue;
      }
      c.input.insert(c.input.end(), chunk, chunk + n);
      if (!Serve(c)) dead[i] = true;
    }
    for (size_t i = dead.size(); i-- > 0;) {
      if (dead[i]) connections.erase(connections.begin() + ptrdiff_t(i));
    }
  }
}

}  // namespace qnv::bench
