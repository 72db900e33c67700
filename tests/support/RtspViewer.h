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

  explicit RtspClient(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RtspClient() { ::close(fd_); }
  RtspClient(const RtspClient&) = delete;
  RtspClient& operator=(const RtspClient&) = delete;

  bool Connected() const { return connected_; }
  bool Send(const std::string& text) {
    return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
  }
  // A request with CSeq (and Basic credentials, base64, when given); its
  // answer, or "" when none came in time.
  std::string Ask(const std::string& method, const std::string& url, const std::string& auth = "",
                  const std::string& extra = "", int timeoutMs = 3000) {
    Send(method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) + "\r\n" +
         (auth.empty() ? "" : "Authorization: Basic " + auth + "\r\n") + extra + "\r\n");
    return Response(timeoutMs);
  }
  // One answer, head and body; interleaved media before it are counted in
  // MediaBytes and passed over. "" when none came in time or the connection
  // closed.
  std::string Response(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      while (in_.size() >= 4 && in_[0] == '$') {
        const size_t n = 4 + (size_t(uint8_t(in_[2])) << 8 | uint8_t(in_[3]));
        if (in_.size() < n) break;
        media_ += n;
        in_.erase(0, n);
      }
      const size_t head = in_.find("\r\n\r\n");
      if (!in_.empty() && in_[0] != '$' && head != std::string::npos) {
        size_t body = 0;
        const size_t cl = in_.find("Content-Length: ");
        if (cl != std::string::npos && cl < head) body = std::stoul(in_.substr(cl + 16));
        if (in_.size() >= head + 4 + body) {
          std::string r = in_.substr(0, head + 4 + body);
          in_.erase(0, head + 4 + body);
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
  uint64_t MediaBytes() const { return media_ + in_.size(); }
  // True when the server closes the connection within timeoutMs.
  bool ClosedWithin(int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Read(end)) {
    }
    return closed_;
  }

 private:
  bool Read(Clock::time_point end) {
    const int wait =
        int(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    pollfd p{fd_, POLLIN, 0};
    if (wait <= 0 || ::poll(&p, 1, wait) <= 0) return false;
    char buffer[65536];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed_ = true;
      return false;
    }
    in_.append(buffer, size_t(n));
    return true;
  }

  int fd_;
  bool connected_ = false, closed_ = false;
  int cseq_ = 0;
  uint64_t media_ = 0;
  std::string in_;
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
