#include "streaming/CRtspGate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/Time.h"
#include "streaming/CRtspFeed.h"
#include "streaming/CRtspServer.h"
#include "streaming/RtspRequest.h"

namespace qnvrecorder {
namespace {

// Bytes waiting for a client (media from the server) before the server's
// side is no longer read; what a client may have sent that is not passed on
// yet before it is no longer read.
constexpr size_t kMaxToClient = 1u << 20;
constexpr size_t kMaxToServer = 64u * 1024;
constexpr size_t kMaxUnread = kMaxRequestHead + kMaxRequestBody + 4 + 65535;
constexpr int kLogLinesPerMinute = 5;
constexpr int64_t kSweepMs = 250;
// How often a request waiting for its camera's first key picture looks again.
constexpr int kWaitPollMs = 20;
constexpr const char* kPublic =
    "Public: OPTIONS, DESCRIBE, SETUP, PLAY, PAUSE, TEARDOWN, GET_PARAMETER, SET_PARAMETER\r\n";
constexpr uint64_t kUpstreamBit = 1;

bool SetNoDelay(int fd) {
  const int one = 1;
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

// A connected pair of loopback TCP sockets: ours (non-blocking) and the one
// handed to the server. The listening socket lives only until the one
// expected connection arrived, and a connection from anyone else is refused.
bool LoopbackPair(UniqueFd& ours, UniqueFd& theirs) {
  UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (!listener.Valid() ||
      ::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener.Get(), 1) != 0 ||
      ::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  ours.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!ours.Valid() ||
      ::connect(ours.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return false;
  }
  sockaddr_in mine{}, peer{};
  socklen_t mineLength = sizeof mine, peerLength = sizeof peer;
  ::getsockname(ours.Get(), reinterpret_cast<sockaddr*>(&mine), &mineLength);
  theirs.Reset(
      ::accept4(listener.Get(), reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC));
  if (!theirs.Valid() || peer.sin_port != mine.sin_port) return false;
  SetNoDelay(ours.Get());
  SetNoDelay(theirs.Get());
  return ::fcntl(ours.Get(), F_SETFL, ::fcntl(ours.Get(), F_GETFL) | O_NONBLOCK) == 0;
}

bool IsMediaRequest(const std::string& method) {
  return method == "DESCRIBE" || method == "SETUP" || method == "PLAY";
}

bool IsKnownMethod(const std::string& method) {
  return IsMediaRequest(method) || method == "OPTIONS" || method == "PAUSE" ||
         method == "TEARDOWN" || method == "GET_PARAMETER" || method == "SET_PARAMETER";
}

}  // namespace

struct CRtspGate::SConnection {
  uint64_t id = 0;
  UniqueFd client, upstream;
  std::string peer;  // "IP:PORT"
  std::string ip;
  uint16_t port = 0;
  std::string unread;    // from the client, not yet looked at
  std::string toServer;  // checked, to pass on
  std::string toClient;  // from the server, or the gate's own answers
  size_t toServerSent = 0, toClientSent = 0;
  int64_t pendingSince = 0;  // a request begun (or the connection made) and not yet whole
  int64_t lastTraffic = 0;
  int64_t stalledSince = 0;  // toClient waits and the client took nothing since
  int64_t waitingSince = 0;  // the first request in unread waits for a key picture
  int loginFailures = 0;
  bool closing = false;  // send what is queued, then close
  bool dead = false;
  uint32_t clientEvents = 0, upstreamEvents = 0;  // what epoll watches for
  bool clientWatched = false, upstreamWatched = false;
};

CRtspGate::CRtspGate(CRtspServer& server, SRtspConfig config)
    : m_server(server),
      m_config(std::move(config)),
      m_loginLog(kLogLinesPerMinute, std::chrono::minutes(1)),
      m_cutLog(kLogLinesPerMinute, std::chrono::minutes(1)),
      m_refuseLog(kLogLinesPerMinute, std::chrono::minutes(1)) {}

CRtspGate::~CRtspGate() { Stop(); }

bool CRtspGate::Start(std::string& error) {
  m_listen.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  const int one = 1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(m_config.port);
  socklen_t length = sizeof address;
  if (!m_listen.Valid() ||
      ::setsockopt(m_listen.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      ::bind(m_listen.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(m_listen.Get(), 64) != 0 ||
      ::getsockname(m_listen.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = "RTSP port " + std::to_string(m_config.port) +
            " cannot be bound: " + std::strerror(errno) +
            (errno == EADDRINUSE ? " (another program uses it)" : "");
    m_listen.Reset();
    return false;
  }
  m_port = ntohs(address.sin_port);
  m_epoll.Reset(::epoll_create1(EPOLL_CLOEXEC));
  m_wake.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  epoll_event listenEvent{EPOLLIN, {.u64 = 0}};
  epoll_event wakeEvent{EPOLLIN, {.u64 = 2}};
  if (!m_epoll.Valid() || !m_wake.Valid() ||
      ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, m_listen.Get(), &listenEvent) != 0 ||
      ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_ADD, m_wake.Get(), &wakeEvent) != 0) {
    error = std::string("RTSP cannot wait for connections: ") + std::strerror(errno);
    return false;
  }
  m_thread = std::thread([this] { Run(); });
  LOG_INFO("rtsp: serving on port %u%s", m_port, m_config.user.empty() ? "" : " (with a password)");
  return true;
}

void CRtspGate::Stop() {
  if (!m_thread.joinable()) return;
  m_stopping = true;
  const uint64_t one = 1;
  if (::write(m_wake.Get(), &one, sizeof one) < 0) {
    // The loop also looks at m_stopping every sweep.
  }
  m_thread.join();
  m_connections.clear();
  m_connectionCount = 0;
  m_listen.Reset();
}

void CRtspGate::Run() {
  // Ids 0 (listening) and 2 (wake-up) are the gate's; connections use id*4
  // and id*4+1 (the server's side).
  epoll_event events[64];
  int64_t lastSweep = MonoMs();
  bool waiting = false;  // a request waits for its camera's first key picture
  while (!m_stopping) {
    const int n = ::epoll_wait(m_epoll.Get(), events, 64, waiting ? kWaitPollMs : int(kSweepMs));
    const int64_t now = MonoMs();
    for (int i = 0; i < n; ++i) {
      const uint64_t key = events[i].data.u64;
      if (key == 0) {
        Accept(now);
        continue;
      }
      if (key == 2) continue;
      auto it = m_connections.find(key >> 2);
      if (it == m_connections.end() || it->second->dead) continue;
      SConnection& c = *it->second;
      const uint32_t e = events[i].events;
      if (key & kUpstreamBit) {
        if (e & (EPOLLIN | EPOLLHUP | EPOLLERR)) ReadUpstream(c, now);
      } else if (e & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
        ReadClient(c, now);
      }
      if (!c.dead && (e & EPOLLOUT)) Flush(c, now);
      if (!c.dead) Watch(c);
    }
    waiting = false;
    for (auto& [id, connection] : m_connections) {
      SConnection& c = *connection;
      if (c.dead || c.waitingSince == 0) continue;
      Parse(c, now);  // forwarded, refused, or waiting on
      if (!c.dead) Flush(c, now);
      if (!c.dead) Watch(c);
      waiting = waiting || (!c.dead && c.waitingSince != 0);
    }
    if (now - lastSweep >= kSweepMs) {
      lastSweep = now;
      Sweep(now);
      FlushLogs();
    }
    for (auto it = m_connections.begin(); it != m_connections.end();) {
      it = it->second->dead ? m_connections.erase(it) : std::next(it);
    }
    m_connectionCount = m_connections.size();
  }
}

void CRtspGate::Accept(int64_t now) {
  for (;;) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    UniqueFd fd(::accept4(m_listen.Get(), reinterpret_cast<sockaddr*>(&peer), &length,
                          SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd.Valid()) return;  // EAGAIN, or a connection that went again
    char ip[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    const std::string who = std::string(ip) + ":" + std::to_string(ntohs(peer.sin_port));
    if (m_connections.size() >= kMaxRtspConnections) {
      uint64_t held = 0;
      if (m_refuseLog.Allow(held)) {
        LOG_WARN(
            "rtsp: refused a connection from %s: %zu connections are open, the most "
            "there may be%s",
            who.c_str(), kMaxRtspConnections, HeldBackText(held).c_str());
      }
      continue;  // closed as fd goes
    }
    auto c = std::make_unique<SConnection>();
    c->id = m_nextId++;
    c->ip = ip;
    c->port = ntohs(peer.sin_port);
    c->peer = who;
    c->pendingSince = now;  // the first request must come soon
    c->lastTraffic = now;
    SetNoDelay(fd.Get());
    c->client = std::move(fd);
    SConnection& ref = *c;
    m_connections[c->id] = std::move(c);
    m_connectionCount = m_connections.size();
    Watch(ref);
  }
}

void CRtspGate::Watch(SConnection& c) {
  const bool clientReadable = !c.closing && c.unread.size() < kMaxUnread &&
                              c.toServer.size() - c.toServerSent < kMaxToServer;
  const uint32_t clientWant =
      (clientReadable ? EPOLLIN : 0u) | (c.toClient.size() > c.toClientSent ? EPOLLOUT : 0u);
  if (clientWant != c.clientEvents || !c.clientWatched) {
    epoll_event e{clientWant, {.u64 = c.id << 2}};
    ::epoll_ctl(m_epoll.Get(), c.clientWatched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.client.Get(), &e);
    c.clientEvents = clientWant;
    c.clientWatched = true;
  }
  if (!c.upstream.Valid()) return;
  const uint32_t upstreamWant = (c.toClient.size() - c.toClientSent < kMaxToClient ? EPOLLIN : 0u) |
                                (c.toServer.size() > c.toServerSent ? EPOLLOUT : 0u);
  if (upstreamWant != c.upstreamEvents || !c.upstreamWatched) {
    epoll_event e{upstreamWant, {.u64 = c.id << 2 | kUpstreamBit}};
    ::epoll_ctl(m_epoll.Get(), c.upstreamWatched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.upstream.Get(),
                &e);
    c.upstreamEvents = upstreamWant;
    c.upstreamWatched = true;
  }
}

void CRtspGate::ReadClient(SConnection& c, int64_t now) {
  char buffer[65536];
  const ssize_t n = ::recv(c.client.Get(), buffer, sizeof buffer, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    c.dead = true;  // the client left; its server side closes with it
    return;
  }
  c.lastTraffic = now;
  if (c.closing) return;
  c.unread.append(buffer, size_t(n));
  Parse(c, now);
  if (!c.dead) Flush(c, now);
}

void CRtspGate::Parse(SConnection& c, int64_t now) {
  while (!c.dead && !c.closing && !c.unread.empty()) {
    SRtspRequest request;
    size_t bytes = 0;
    const EParse result = ParseRtspInput(c.unread, request, bytes);
    if (result == EParse::kNeedMore) break;
    if (result == EParse::kBlank) {
      c.unread.erase(0, bytes);
      continue;
    }
    if (result == EParse::kTooLarge || result == EParse::kMalformed) {
      const bool large = result == EParse::kTooLarge;
      if (!c.upstream.Valid()) {
        c.toClient += large ? "RTSP/1.0 413 Request Entity Too Large\r\n\r\n"
                            : "RTSP/1.0 400 Bad Request\r\n\r\n";
        Flush(c, now);  // a best try: the client is about to be cut off
      }
      CutOff(c, large ? "a request longer than " + std::to_string(kMaxRequestHead / 1024) +
                            " KiB of head or " + std::to_string(kMaxRequestBody / 1024) +
                            " KiB of body"
                      : std::string("something that is no RTSP request"));
      return;
    }
    if (result == EParse::kData) {
      if (!c.upstream.Valid()) {
        CutOff(c, "interleaved data before any stream was set up");
        return;
      }
      c.toServer.append(c.unread, 0, bytes);
      c.unread.erase(0, bytes);
      continue;
    }
    c.pendingSince = 0;
    const EVerdict verdict = Handle(c, request, now);
    if (c.dead) return;
    // A waiting request stays whole in unread and is handled again (the
    // loop looks every few milliseconds); what follows it waits behind it.
    if (verdict == EVerdict::kWait) return;
    if (verdict == EVerdict::kForward) c.toServer.append(c.unread, 0, bytes);
    c.unread.erase(0, bytes);
  }
  // Whatever is left is the start of a request: it must be whole soon.
  if (c.unread.empty()) {
    c.pendingSince = 0;
  } else if (c.pendingSince == 0) {
    c.pendingSince = now;
  }
}

CRtspGate::EVerdict CRtspGate::Handle(SConnection& c, const SRtspRequest& r, int64_t now) {
  // Credentials before anything else, for every request and every path.
  if (!m_config.user.empty() &&
      !BasicCredentialsMatch(r.authorization, m_config.user, m_config.password)) {
    const bool tried = CredentialsGiven(r.authorization);
    if (tried) {
      ++c.loginFailures;
      Refuse(c, m_loginLog, "rtsp: refused a login from " + c.ip + ": wrong user name or password");
    }
    if (c.upstream.Valid()) {
      // Its stream cannot take an answer in the middle: the connection goes.
      c.dead = true;
      return EVerdict::kAnswered;
    }
    Reply(c, r, "401 Unauthorized", "WWW-Authenticate: Basic realm=\"qnv-recorder\"\r\n");
    if (c.loginFailures >= kRtspMaxLoginFailures) {
      c.closing = true;
      CutOff(c, std::to_string(kRtspMaxLoginFailures) + " wrong logins");
    }
    return EVerdict::kAnswered;
  }
  if (IsMediaRequest(r.method)) {
    const std::shared_ptr<CRtspFeed> feed = r.camera.empty() ? nullptr : m_server.Feed(r.camera);
    if (!feed && !c.upstream.Valid()) {
      Reply(c, r, "404 Not Found");
      return EVerdict::kAnswered;
    }
    if (feed && !feed->Playable()) {
      // A camera that has just connected sends its first key picture
      // within a group of pictures: the request waits for it, the others
      // are served meanwhile.
      if (feed->Up() && (c.waitingSince == 0 || now - c.waitingSince < kRtspFirstKeyWaitMs)) {
        if (c.waitingSince == 0) c.waitingSince = now;
        return EVerdict::kWait;
      }
      // Answered now: preparing a stream for a camera that sends nothing
      // would hold the streaming server up.
      c.waitingSince = 0;
      Refuse(c, m_refuseLog,
             "rtsp " + feed->Name() + ": refused a client: " +
                 (feed->Up() ? "no key picture from the camera within " +
                                   std::to_string(kRtspFirstKeyWaitMs / 1000) + " s"
                             : std::string("the camera is not connected")));
      if (c.upstream.Valid()) {
        c.dead = true;
        return EVerdict::kAnswered;
      }
      Reply(c, r, "503 Service Unavailable", "Retry-After: 5\r\n");
      return EVerdict::kAnswered;
    }
    c.waitingSince = 0;
    if (!c.upstream.Valid() && !Connect(c)) {
      Reply(c, r, "503 Service Unavailable");
      c.closing = true;
      return EVerdict::kAnswered;
    }
    return EVerdict::kForward;
  }
  if (c.upstream.Valid()) return EVerdict::kForward;  // the server knows the session
  if (r.method == "OPTIONS") {
    Reply(c, r, "200 OK", kPublic);
  } else if (r.method == "GET_PARAMETER") {
    Reply(c, r, "200 OK");
  } else if (IsKnownMethod(r.method)) {
    Reply(c, r, "454 Session Not Found");
  } else {
    Reply(c, r, "501 Not Implemented", kPublic);
  }
  return EVerdict::kAnswered;
}

bool CRtspGate::Connect(SConnection& c) {
  UniqueFd ours, theirs;
  if (!LoopbackPair(ours, theirs) || !m_server.Adopt(theirs.Release(), c.ip, c.port)) {
    LOG_ERROR("rtsp: the streaming server did not take the connection from %s: %s", c.peer.c_str(),
              std::strerror(errno));
    return false;
  }
  c.upstream = std::move(ours);
  return true;
}

void CRtspGate::Reply(SConnection& c, const SRtspRequest& r, const char* status,
                      const std::string& headers) {
  c.toClient += std::string("RTSP/1.0 ") + status + "\r\n" +
                (r.cseq.empty() ? std::string() : "CSeq: " + r.cseq + "\r\n") + headers +
                "Server: qnv-recorder\r\nContent-Length: 0\r\n\r\n";
}

void CRtspGate::Refuse(SConnection&, CLogThrottle& log, const std::string& line) {
  uint64_t held = 0;
  if (log.Allow(held)) LOG_WARN("%s%s", line.c_str(), HeldBackText(held).c_str());
}

void CRtspGate::CutOff(SConnection& c, const std::string& why) {
  uint64_t held = 0;
  if (m_cutLog.Allow(held)) {
    LOG_WARN("rtsp: cut off %s: %s%s", c.peer.c_str(), why.c_str(), HeldBackText(held).c_str());
  }
  if (!c.closing || c.toClient.size() == c.toClientSent) c.dead = true;
  c.closing = true;
}

void CRtspGate::ReadUpstream(SConnection& c, int64_t now) {
  char buffer[65536];
  const ssize_t n = ::recv(c.upstream.Get(), buffer, sizeof buffer, 0);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    // The server ended the connection: the client gets what is left, then goes.
    ::epoll_ctl(m_epoll.Get(), EPOLL_CTL_DEL, c.upstream.Get(), nullptr);
    c.upstream.Reset();
    c.upstreamWatched = false;
    c.closing = true;
    if (c.toClient.size() == c.toClientSent) c.dead = true;
    return;
  }
  c.lastTraffic = now;
  c.toClient.append(buffer, size_t(n));
  Flush(c, now);
}

void CRtspGate::Flush(SConnection& c, int64_t now) {
  while (c.toClient.size() > c.toClientSent) {
    const ssize_t n = ::send(c.client.Get(), c.toClient.data() + c.toClientSent,
                             c.toClient.size() - c.toClientSent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (c.stalledSince == 0) c.stalledSince = now;
      break;
    }
    if (n <= 0) {
      c.dead = true;
      return;
    }
    c.toClientSent += size_t(n);
    c.stalledSince = 0;
    c.lastTraffic = now;
  }
  if (c.toClientSent == c.toClient.size()) {
    c.toClient.clear();
    c.toClientSent = 0;
    c.stalledSince = 0;
    if (c.closing) {
      c.dead = true;
      return;
    }
  } else if (c.toClientSent > kMaxToClient) {
    c.toClient.erase(0, c.toClientSent);
    c.toClientSent = 0;
  }
  while (c.upstream.Valid() && c.toServer.size() > c.toServerSent) {
    const ssize_t n = ::send(c.upstream.Get(), c.toServer.data() + c.toServerSent,
                             c.toServer.size() - c.toServerSent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) break;
    if (n <= 0) {
      c.dead = true;
      return;
    }
    c.toServerSent += size_t(n);
  }
  if (c.toServerSent == c.toServer.size()) {
    c.toServer.clear();
    c.toServerSent = 0;
  }
}

void CRtspGate::Sweep(int64_t now) {
  for (auto& [id, connection] : m_connections) {
    SConnection& c = *connection;
    if (c.dead) continue;
    if (c.pendingSince != 0 && now - c.pendingSince > kRtspRequestTimeoutMs) {
      CutOff(c, c.upstream.Valid() || !c.unread.empty()
                    ? "a request not complete within " +
                          std::to_string(kRtspRequestTimeoutMs / 1000) + " s"
                    : "no request within " + std::to_string(kRtspRequestTimeoutMs / 1000) +
                          " s of connecting");
      c.dead = true;
    } else if (c.stalledSince != 0 && now - c.stalledSince > kRtspStalledReaderMs) {
      CutOff(c, "it took nothing of its stream for " + std::to_string(kRtspStalledReaderMs / 1000) +
                    " s");
      c.dead = true;
    } else if (now - c.lastTraffic > kRtspIdleTimeoutMs) {
      LOG_INFO("rtsp: closed %s: nothing sent either way for %lld s", c.peer.c_str(),
               static_cast<long long>(kRtspIdleTimeoutMs / 1000));
      c.dead = true;
    }
  }
}

void CRtspGate::FlushLogs() {
  if (const uint64_t held = m_loginLog.Flush()) {
    LOG_WARN("rtsp: %llu more refused login(s) not logged in the last minute",
             static_cast<unsigned long long>(held));
  }
  if (const uint64_t held = m_cutLog.Flush()) {
    LOG_WARN("rtsp: %llu more cut-off client(s) not logged in the last minute",
             static_cast<unsigned long long>(held));
  }
  if (const uint64_t held = m_refuseLog.Flush()) {
    LOG_WARN("rtsp: %llu more refused client(s) not logged in the last minute",
             static_cast<unsigned long long>(held));
  }
}

}  // namespace qnvrecorder
