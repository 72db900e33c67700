// A raw RTSP client over TCP on 127.0.0.1, for the recorder's tests, soak and
// benchmark: it sends requests byte for byte as written, reads answers with
// a time-out (passing over interleaved media), and can watch a camera
// (DESCRIBE, SETUP over the connection, PLAY, read, TEARDOWN). One thread.
#ifndef QNV_TESTS_RTSPVIEWER_H
#define QNV_TESTS_RTSPVIEWER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace qnvtest {

class RtspClient {
 public:
  using Clock = std::chrono::steady_clock;

  explicit RtspClient(uint16_t port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RtspClient() { ::close(m_fd); }
  RtspClient(const RtspClient&) = delete;
  RtspClient& operator=(const RtspClient&) = delete;

  bool Connected() const { return m_connected; }
  bool Send(const std::string& text) {
    return ::send(m_fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
  }
  // A request with CSeq (and Basic credentials, base64, when given); its
  // answer, or "" when none came in time.
  std::string Ask(const std::string& method, const std::string& url, const std::string& auth = "",
                  const std::string& extra = "", int timeoutMs = 3000) {
    Send(method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++m_cseq) + "\r\n" +
         (auth.empty() ? "" : "Authorization: Basic " + auth + "\r\n") + extra + "\r\n");
    return Response(timeoutMs);
  }
  // One answer, head and body; interleaved media before it are counted in
  // MediaBytes and passed over. "" when none came in time or the connection
  // closed.
  std::string Response(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      while (m_in.size() >= 4 && m_in[0] == '$') {
        const size_t n = 4 + (size_t(uint8_t(m_in[2])) << 8 | uint8_t(m_in[3]));
        if (m_in.size() < n) break;
        m_media += n;
        m_in.erase(0, n);
      }
      const size_t head = m_in.find("\r\n\r\n");
      if (!m_in.empty() && m_in[0] != '$' && head != std::string::npos) {
        size_t body = 0;
        const size_t cl = m_in.find("Content-Length: ");
        if (cl != std::string::npos && cl < head) body = std::stoul(m_in.substr(cl + 16));
        if (m_in.size() >= head + 4 + body) {
          std::string r = m_in.substr(0, head + 4 + body);
          m_in.erase(0, head + 4 + body);
          return r;
        }
      }
      if (!Read(end)) return "";
    }
  }
  // Reads media for ms; the bytes got so far.
  uint64_t ReadMedia(int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Read(end)) {
    }
    return MediaBytes();
  }
  uint64_t MediaBytes() const { return m_media + m_in.size(); }
  // True when the server closes the connection within timeoutMs.
  bool ClosedWithin(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Read(end)) {
    }
    return m_closed;
  }

 private:
  bool Read(Clock::time_point end) {
    const int wait =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    pollfd p{m_fd, POLLIN, 0};
    if (wait <= 0 || ::poll(&p, 1, wait) <= 0) return false;
    char buffer[65536];
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      m_closed = true;
      return false;
    }
    m_in.append(buffer, size_t(n));
    return true;
  }

  int m_fd;
  bool m_connected = false, m_closed = false;
  int m_cseq = 0;
  uint64_t m_media = 0;
  std::string m_in;
};

inline std::string RtspStatus(const std::string& response) {
  return response.substr(0, response.find("\r\n"));
}

// What one viewing of a camera got.
struct SViewing {
  uint64_t bytes = 0;        // media received
  bool refused = false;      // 503: the camera was down
  bool failed = false;       // anything else went wrong
  double firstMediaMs = -1;  // from connecting to the first media byte
};

// Watches rtsp://127.0.0.1:port/camera for ms after PLAY.
inline SViewing WatchCamera(uint16_t port, const std::string& camera, int ms,
                            const std::string& auth = "") {
  SViewing v;
  const auto start = RtspClient::Clock::now();
  RtspClient c(port);
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/" + camera;
  const std::string describe = c.Ask("DESCRIBE", url, auth, "Accept: application/sdp\r\n");
  if (RtspStatus(describe) == "RTSP/1.0 503 Service Unavailable") {
    v.refused = true;
    return v;
  }
  if (RtspStatus(describe) != "RTSP/1.0 200 OK") {
    v.failed = true;
    return v;
  }
  const std::string setup =
      c.Ask("SETUP", url + "/stream=0", auth, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n");
  const size_t s = setup.find("Session: ");
  if (RtspStatus(setup) != "RTSP/1.0 200 OK" || s == std::string::npos) {
    v.refused = RtspStatus(setup) == "RTSP/1.0 503 Service Unavailable";
    v.failed = !v.refused;
    return v;
  }
  const std::string session = setup.substr(s + 9, setup.find_first_of(";\r", s + 9) - s - 9);
  if (RtspStatus(c.Ask("PLAY", url + "/", auth, "Session: " + session + "\r\n")) !=
      "RTSP/1.0 200 OK") {
    v.failed = true;
    return v;
  }
  const auto end = RtspClient::Clock::now() + std::chrono::milliseconds(ms);
  while (RtspClient::Clock::now() < end) {
    if (c.ReadMedia(20) > 0 && v.firstMediaMs < 0) {
      v.firstMediaMs =
          std::chrono::duration<double, std::milli>(RtspClient::Clock::now() - start).count();
    }
  }
  v.bytes = c.MediaBytes();
  c.Send("TEARDOWN " + url + "/ RTSP/1.0\r\nCSeq: 99\r\nSession: " + session + "\r\n\r\n");
  return v;
}

}  // namespace qnvtest

#endif  // QNV_TESTS_RTSPVIEWER_H
