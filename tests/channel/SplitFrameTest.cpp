// A frame that reached the socket is delivered, however its bytes were split
// and whatever the receive thread was doing when they came: a scripted device
// writes frames in pieces while the host's stream callback holds the receive
// thread, and the test checks that no complete frame waits for bytes that
// come after it (the next frame, or the connection closing).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "QNVNetSdk.h"
#include "devsim/WireFormat.h"
#include "support/LoopbackPeer.h"

namespace qnv {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
namespace wire = devsim::wire;

constexpr uint32_t kStreamId = 42;
constexpr uint32_t kSessionId = 9;

// A listening socket on 127.0.0.1:port (0: any free port), or -1.
int ListenOn(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(fd, 4) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

uint16_t PortOf(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

bool ReadExactly(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    pollfd w{fd, POLLIN, 0};
    if (::poll(&w, 1, 5000) <= 0) return false;
    const ssize_t r = ::recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= size_t(r);
  }
  return true;
}

// A device on P (commands) and P + 2 (streams) that answers every command at
// once and writes whatever the test hands it on the stream connection.
class ScriptedStreamDevice {
 public:
  ScriptedStreamDevice() {
    for (int attempt = 0; attempt < 50 && m_stream < 0; ++attempt) {
      m_command = ListenOn(0);
      const uint16_t port = PortOf(m_command);
      m_stream = port < 65534 ? ListenOn(uint16_t(port + 2)) : -1;
      if (m_stream < 0) ::close(m_command);
    }
    if (m_stream >= 0) m_server = std::thread([this] { Serve(); });
  }
  ~ScriptedStreamDevice() {
    m_stop = true;
    if (m_server.joinable()) m_server.join();
    for (int fd : {m_command, m_stream, m_commandConn.load(), m_streamConn.load()})
      if (fd >= 0) ::close(fd);
  }
  bool Ready() const { return m_stream >= 0; }
  uint16_t Port() const { return PortOf(m_command); }

  // Waits until the library attached its stream connection.
  bool WaitAttached(int ms = 5000) {
    const auto end = Clock::now() + milliseconds(ms);
    while (Clock::now() < end) {
      if (m_attached.load()) return true;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return false;
  }
  // Writes bytes on the stream connection and returns when they left.
  void Send(const std::vector<uint8_t>& bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
      const ssize_t n =
          ::send(m_streamConn.load(), bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n <= 0) return;
      off += size_t(n);
    }
  }

 private:
  void Serve() {
    while (!m_stop.load()) {
      std::vector<pollfd> fds = {{m_command, POLLIN, 0}, {m_stream, POLLIN, 0}};
      if (m_commandConn >= 0) fds.push_back({m_commandConn, POLLIN, 0});
      if (m_streamConn >= 0 && !m_attached) fds.push_back({m_streamConn, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
      if (fds[0].revents & POLLIN) m_commandConn = Accept(m_command);
      if (fds[1].revents & POLLIN) m_streamConn = Accept(m_stream);
      for (size_t i = 2; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        if (fds[i].fd == m_commandConn.load()) {
          if (!Answer(fds[i].fd)) CloseCommand();
        } else {
          std::vector<uint8_t> attach;
          m_attached = ReadMessage(fds[i].fd, &attach);
        }
      }
    }
  }
  static int Accept(int listener) {
    int fd = ::accept(listener, nullptr, nullptr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
  }
  void CloseCommand() {
    int fd = m_commandConn.exchange(-1);
    if (fd >= 0) ::close(fd);
  }
  static bool ReadMessage(int fd, std::vector<uint8_t>* message) {
    uint8_t prefix[wire::kPrefixSize];
    if (!ReadExactly(fd, prefix, sizeof prefix)) return false;
    const auto length = wire::DecodePrefix(prefix);
    if (!length || *length < wire::kRequestHeaderSize || *length > wire::kMaxRequestLength)
      return false;
    message->assign(prefix, prefix + sizeof prefix);
    message->resize(*length);
    return ReadExactly(fd, message->data() + sizeof prefix, *length - sizeof prefix);
  }
  // Answers one request: result 0, the stream id for an open.
  static bool Answer(int fd) {
    std::vector<uint8_t> m;
    if (!ReadMessage(fd, &m)) return false;
    const auto request = wire::ParseRequest(m);
    if (!request) return false;
    std::vector<uint8_t> payload;
    if (request->cls == wire::kClassLive && request->code == wire::kCodeOpenStream) {
      payload.resize(4);
      wire::PutU32(payload.data(), kStreamId);
    }
    const auto reply = wire::EncodeReply(request->cls, request->code, 0, kSessionId, payload);
    return ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) == ssize_t(reply.size());
  }

  int m_command = -1, m_stream = -1;
  std::atomic<int> m_commandConn{-1}, m_streamConn{-1};
  std::atomic<bool> m_attached{false}, m_stop{false};
  std::thread m_server;
};

// A frame of `total` bytes (header included) numbered n.
std::vector<uint8_t> MakeFrame(uint32_t n, uint32_t total) {
  wire::FrameHeader h;
  h.counter = n;
  h.streamId = kStreamId;
  h.payloadLength = total - uint32_t(wire::kFrameHeaderSize);
  h.captureTimeUs = 1'000'000ull * n;
  const auto header = wire::EncodeFrameHeader(h);
  std::vector<uint8_t> frame(header.begin(), header.end());
  const uint8_t slice[] = {0, 0, 0, 1, 0x41};
  frame.insert(frame.end(), slice, slice + sizeof slice);
  frame.resize(total, uint8_t(n));
  return frame;
}

std::vector<uint8_t> Piece(const std::vector<uint8_t>& frame, size_t from, size_t to) {
  return {frame.begin() + long(from), frame.begin() + long(to)};
}

// What reaches the host: each frame's number and when it came; the callback
// of the frames listed in holdFor holds the receive thread that long.
struct SDelivered {
  std::mutex mutex;
  std::vector<std::pair<uint32_t, Clock::time_point>> frames;
  std::vector<Clock::time_point> disconnects;
  std::atomic<int> holdMs{0};
  std::atomic<bool> holding{false};

  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return frames.size();
  }
  Clock::time_point At(size_t i) {
    std::lock_guard<std::mutex> lock(mutex);
    return frames.at(i).second;
  }
};
SDelivered* g_delivered = nullptr;

bool OnFrame(uint32_t, char*, uint16_t, char* frame, int32_t length, uint32_t) {
  if (length < int32_t(wire::kFrameHeaderSize)) return true;
  {
    std::lock_guard<std::mutex> lock(g_delivered->mutex);
    g_delivered->frames.emplace_back(wire::GetU32(reinterpret_cast<uint8_t*>(frame)), Clock::now());
  }
  if (const int ms = g_delivered->holdMs.load(); ms > 0) {
    g_delivered->holding = true;
    std::this_thread::sleep_for(milliseconds(ms));
    g_delivered->holding = false;
  }
  return true;
}

bool OnDisconnect(uint32_t, char*, uint16_t, uint32_t) {
  std::lock_guard<std::mutex> lock(g_delivered->mutex);
  g_delivered->disconnects.push_back(Clock::now());
  return true;
}

class SplitFrames : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(device.Ready()) << "no free port pair P, P + 2 on 127.0.0.1";
    g_delivered = &delivered;
    QNVNet_SetCallback(nullptr, &OnFrame, &OnDisconnect, 0);
    ASSERT_EQ(QNVNet_InitLib(), 0u);
    ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", device.Port(), "u", "p"), 0u);
    ASSERT_EQ(QNVNet_LiveOpen(&handle, id, nullptr), 0u);
    ASSERT_TRUE(device.WaitAttached());
  }
  void TearDown() override {
    if (handle != 0) QNVNet_LiveClose(handle);
    QNVNet_UnInitLib();
    QNVNet_SetCallback(nullptr, nullptr, nullptr, 0);
    g_delivered = nullptr;
  }
  template <typename Pred>
  static bool WaitFor(Pred pred, int ms) {
    const auto end = Clock::now() + milliseconds(ms);
    while (Clock::now() < end) {
      if (pred()) return true;
      std::this_thread::sleep_for(milliseconds(2));
    }
    return pred();
  }
  static double MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
  }
  // Frame 1, whose callback holds the receive thread holdMs; meanwhile the
  // first `first` bytes of frame 2 (of `size`), the rest once the callback
  // returned and the thread waits again. wholeAt: when frame 2 was whole.
  bool SplitAcrossAHeldCallback(uint32_t size, size_t first, int holdMs,
                                Clock::time_point& wholeAt) {
    delivered.holdMs = holdMs;
    device.Send(MakeFrame(1, size));
    if (!WaitFor([&] { return delivered.holding.load(); }, 3000)) return false;
    delivered.holdMs = 0;
    const auto frame2 = MakeFrame(2, size);
    device.Send(Piece(frame2, 0, first));
    if (!WaitFor([&] { return !delivered.holding.load(); }, 3000)) return false;
    std::this_thread::sleep_for(milliseconds(20));  // the thread waits for the rest
    device.Send(Piece(frame2, first, size));
    wholeAt = Clock::now();
    return true;
  }

  ScriptedStreamDevice device;
  SDelivered delivered;
  uint32_t id = 0, handle = 0;
};

TEST_F(SplitFrames, PartQueuedWhileTheCallbackHeldTheThreadStillCompletesTheFrame) {
  // Frame 1's callback holds the thread 0.5 s; meanwhile 20 bytes of a 50-byte
  // frame 2 arrive, the other 30 after the callback returned. Frame 2 is whole
  // in the socket then, and nothing more is sent.
  Clock::time_point sent;
  ASSERT_TRUE(SplitAcrossAHeldCallback(50, 20, 500, sent));
  ASSERT_TRUE(WaitFor([&] { return delivered.Count() == 2; }, 500))
      << "frame 2 is whole in the socket but was not delivered";
  EXPECT_LT(MsBetween(sent, delivered.At(1)), 500.0);
}

TEST_F(SplitFrames, SlowStreamDeliversEveryFrame) {
  // Five frames a second apart, each in three pieces: its head (the header
  // and a little more, so the thread then waits for the rest) in the same
  // write as the end of the frame before (a device that writes what its
  // encoder gave it), its middle 0.7 s later, while the callback of the frame
  // before still holds the thread (0.8 s), its end 0.3 s after that. Every
  // frame must come within 500 ms of its last byte.
  constexpr uint32_t kFrames = 5;
  delivered.holdMs = 800;
  std::vector<Clock::time_point> completed;
  std::vector<uint8_t> carry;
  for (uint32_t n = 1; n <= kFrames; ++n) {
    const auto frame = MakeFrame(n, 2000);
    std::vector<uint8_t> first = carry;
    const auto head = Piece(frame, 0, 100);  // the header and the picture's start
    first.insert(first.end(), head.begin(), head.end());
    device.Send(first);
    if (n > 1) completed.push_back(Clock::now());
    std::this_thread::sleep_for(milliseconds(700));
    device.Send(Piece(frame, 100, 1000));
    std::this_thread::sleep_for(milliseconds(300));
    carry = Piece(frame, 1000, 2000);
  }
  device.Send(carry);  // the last frame's end goes alone
  completed.push_back(Clock::now());
  ASSERT_TRUE(WaitFor([&] { return delivered.Count() == kFrames; }, 1500))
      << delivered.Count() << " of " << kFrames << " frames delivered";
  for (size_t i = 0; i < kFrames; ++i)
    EXPECT_LT(MsBetween(completed[i], delivered.At(i)), 500.0) << "frame " << i + 1;
}

TEST_F(SplitFrames, StallIsNeverReportedWhileAWholeFrameIsInTheSocket) {
  // A stall time-out of 1 s; frame 2 completes in the socket while frame 1's
  // callback holds the thread, then the device goes silent. The stall may be
  // reported only a whole time-out after frame 2's last byte.
  ASSERT_EQ(QNVNet_LiveSetStallTimeout(handle, 1000), 0u);
  Clock::time_point whole;
  ASSERT_TRUE(SplitAcrossAHeldCallback(60, 30, 400, whole));
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> lock(delivered.mutex);
        return !delivered.disconnects.empty();
      },
      4000));
  std::lock_guard<std::mutex> lock(delivered.mutex);
  ASSERT_EQ(delivered.frames.size(), 2u);
  EXPECT_LT(delivered.frames[1].second, delivered.disconnects[0]);
  EXPECT_GE(MsBetween(whole, delivered.disconnects[0]), 900.0);
}

}  // namespace
}  // namespace qnv
