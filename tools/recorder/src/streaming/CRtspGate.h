// CRtspGate: the RTSP port's front door. It accepts every connection itself
// and reads each request within fixed bounds (RtspRequest.h) and time-outs,
// so a client that sends endlessly, slowly or nothing is cut off while the
// others are served; it checks the credentials first, on every request and
// for every path, when the [rtsp] section has a user; it answers a camera
// that is down or unknown at once (503, 404) without waking the streaming
// server, and holds a request for a camera that is up but has sent no key
// picture yet (just connected) until it has, for a few seconds at most; it
// caps the number of connections. What passes is relayed to the
// GStreamer server (CRtspServer::Adopt) over a private loopback connection,
// and the media come back the same way. Refused logins and cut-off clients
// are logged, a few a minute, with a count of the rest.
//
// One thread of its own runs every connection (epoll); Start and Stop are
// called from the recorder's control thread. The server must outlive it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "base/Log.h"
#include "config/Config.h"
#include "qnvtools/UniqueFd.h"

namespace qnvrecorder {

using qnvtools::UniqueFd;

class CRtspServer;
struct SRtspRequest;

// The most client connections at once; more are closed when accepted.
inline constexpr size_t kMaxRtspConnections = 64;
// A request (and a new connection's first one) must arrive whole this soon.
inline constexpr int64_t kRtspRequestTimeoutMs = 10000;
// A connection with nothing going either way this long is closed.
inline constexpr int64_t kRtspIdleTimeoutMs = 60000;
// A client that takes nothing of what is sent to it this long is cut off.
inline constexpr int64_t kRtspStalledReaderMs = 20000;
// Wrong credentials this often on one connection close it.
inline constexpr int kRtspMaxLoginFailures = 5;
// A media request for a camera that is connected but has no key picture yet
// waits this long for one before it is answered 503.
inline constexpr int64_t kRtspFirstKeyWaitMs = 5000;

class CRtspGate {
 public:
  CRtspGate(CRtspServer& server, SRtspConfig config);
  ~CRtspGate();  // Stop()
  CRtspGate(const CRtspGate&) = delete;
  CRtspGate& operator=(const CRtspGate&) = delete;

  // Listens on the configured port (0: any free one) on every address; false
  // with a message when it cannot.
  bool Start(std::string& error);
  void Stop();
  uint16_t Port() const { return m_port; }
  // RTSP connections open now (any thread).
  size_t Connections() const { return m_connectionCount.load(); }

 private:
  struct SConnection;

  void Run();
  void Accept(int64_t now);
  void ReadClient(SConnection& c, int64_t now);
  void ReadUpstream(SConnection& c, int64_t now);
  void Flush(SConnection& c, int64_t now);
  void Parse(SConnection& c, int64_t now);
  enum class EVerdict {
    kForward,   // the request goes on to the server
    kAnswered,  // the gate answered it (or the connection is to be closed: dead or closing)
    kWait       // it stays unread until its camera has a key picture (or the wait ends)
  };
  EVerdict Handle(SConnection& c, const SRtspRequest& request, int64_t now);
  bool Connect(SConnection& c);
  void Reply(SConnection& c, const SRtspRequest& request, const char* status,
             const std::string& headers = "");
  void CutOff(SConnection& c, const std::string& why);
  void Refuse(SConnection& c, CLogThrottle& log, const std::string& line);
  void Watch(SConnection& c);
  void Sweep(int64_t now);
  void FlushLogs();

  CRtspServer& m_server;
  const SRtspConfig m_config;
  UniqueFd m_listen, m_epoll, m_wake;
  uint16_t m_port = 0;
  std::thread m_thread;
  std::atomic<bool> m_stopping{false};
  uint64_t m_nextId = 1;
  std::map<uint64_t, std::unique_ptr<SConnection>> m_connections;  // the gate's thread only
  std::atomic<size_t> m_connectionCount{0};                        // its size, for others
  CLogThrottle m_loginLog, m_cutLog, m_refuseLog;
};

}  // namespace qnvrecorder
