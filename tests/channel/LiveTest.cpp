// Live channels end to end: the open, attach, pause, play and close messages
// on the wire, whole frames in order with their kinds, limits, dropped
// streams, logout, and closing from inside callbacks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "QNVNetSdk.h"
#include "player/PlayerApi.h"
#include "sdk/CLibrary.h"
#include "support/LoopbackPeer.h"
#include "support/SimulatorFixture.h"
#include "support/StreamCapture.h"

namespace qnv {
namespace {

using test::Le32At;
using test::Log;
using test::StreamCapture;

class Live : public test::SimulatorTest {
 protected:
  devsim::SimulatorOptions Options() override {
    devsim::SimulatorOptions o;
    o.clipPath = QNV_SAMPLE_CLIP;
    o.fps = 200;  // the clip, eight times faster than real time
    o.fixedSessionId = true;
    o.sessionId = 0x77;
    return o;
  }
  void SetUp() override {
    test::SimulatorTest::SetUp();
    StreamCapture::Instance().Clear();
    QNVNet_SetCallback(nullptr, &StreamCapture::Callback, &test::RecordDisconnect, 0x5EED);
    id = Login();
    sim->ClearRequests();
  }
  uint32_t Open(uint32_t client = 0) {
    uint32_t h = 0;
    EXPECT_EQ(QNVNet_LiveOpen(&h, client ? client : id, nullptr), 0u);
    return h;
  }
  bool WaitFrames(size_t n, int ms = 5000) {
    return WaitFor([&] { return StreamCapture::Instance().Count() >= n; }, ms);
  }
  uint32_t id = 0;
};

TEST_F(Live, MessagesOnTheWire) {
  uint32_t h = Open();
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(sim->WaitForRequests(2, 3000));
  auto reqs = sim->Requests();
  ASSERT_GE(reqs.size(), 2u);
  // Open: class 3 code 1, no payload, on the command connection.
  EXPECT_FALSE(reqs[0].stream);
  EXPECT_EQ(reqs[0].raw, (std::vector<uint8_t>{0x00, 0x00, 0x14, 0x14, 1, 0, 0,    0, 'Q', 'N',
                                               'V',  'V',  3,    0,    1, 0, 0x77, 0, 0,   0}));
  // Attach: the one-way message on the stream connection, with the stream id.
  const auto& attach = reqs[1];
  EXPECT_TRUE(attach.stream);
  ASSERT_EQ(attach.raw.size(), 24u);
  EXPECT_EQ((std::vector<uint8_t>(attach.raw.begin(), attach.raw.begin() + 20)),
            (std::vector<uint8_t>{0x00, 0x00, 0x18, 0x18, 0, 1, 0,    1, 'Q', 'N',
                                  'V',  'V',  3,    0,    5, 0, 0x77, 0, 0,   0}));
  uint32_t streamId = Le32At(attach.payload, 0);
  EXPECT_NE(streamId, 0u);
  std::vector<uint8_t> sid(attach.payload.begin(), attach.payload.end());
  sim->ClearRequests();
  EXPECT_EQ(QNVNet_LivePause(h), 0u);
  EXPECT_EQ(QNVNet_LivePlay(h), 0u);
  EXPECT_EQ(QNVNet_LiveClose(h), 0u);
  reqs = Commands();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].code, 3);
  EXPECT_EQ(reqs[1].code, 4);
  EXPECT_EQ(reqs[2].code, 2);
  for (auto& r : reqs) {
    EXPECT_EQ(r.cls, 3);
    EXPECT_EQ(r.payload, sid);
    EXPECT_EQ(r.raw.size(), 24u);
  }
  EXPECT_EQ(QNVNet_LivePause(h), QNVNET_ERR_NO_SESSION);
}

TEST_F(Live, FramesArriveWholeInOrderWithTheirKinds) {
  auto clip = devsim::LoadClipNalUnits(QNV_SAMPLE_CLIP);
  ASSERT_FALSE(clip.empty());
  uint32_t h = Open();
  ASSERT_TRUE(WaitFrames(120));
  QNVNet_LiveClose(h);
  auto frames = StreamCapture::Instance().Frames();
  ASSERT_GE(frames.size(), 120u);
  // Find the first delivered payload in the clip, then every later one must
  // follow it in clip order.
  auto payloadOf = [](const test::DeliveredFrame& f) {
    size_t ext = f.bytes[36] ? 4 + Le32At(f.bytes, 40) : 0;
    return std::vector<uint8_t>(f.bytes.begin() + 40 + long(ext), f.bytes.end());
  };
  size_t pos = clip.size();
  for (size_t i = 0; i < clip.size(); ++i)
    if (clip[i] == payloadOf(frames[0])) {
      pos = i;
      break;
    }
  ASSERT_LT(pos, clip.size());
  int keys = 0, ps = 0;
  for (size_t k = 0; k < frames.size(); ++k, pos = (pos + 1) % clip.size()) {
    const auto& f = frames[k];
    EXPECT_EQ(f.clientId, id);
    EXPECT_EQ(f.port, uint16_t(sim->Port() + 2));
    ASSERT_EQ(f.bytes.size(),
              40 + Le32At(f.bytes, 12) + (f.bytes[36] ? 4 + Le32At(f.bytes, 40) : 0));
    ASSERT_EQ(payloadOf(f), clip[pos]) << "frame " << k;
    const int32_t nalType = QNVNetFrameNal::TypeOf(clip[pos][4]);
    if (nalType == QNVNetFrameNal::kTypeIdr) {
      EXPECT_EQ(f.bytes[35], 1) << k;
      ++keys;
    } else if (nalType == QNVNetFrameNal::kTypeSlice) {
      EXPECT_EQ(f.bytes[35], 2) << k;
      ++ps;
    }
  }
  EXPECT_GE(keys, 3);
  EXPECT_GE(ps, 90);
}

TEST_F(Live, WindowlessChannelsHaveDistinctHandlesAndWorkIndependently) {
  uint32_t a = Open(), b = Open();
  EXPECT_NE(a, 0u);
  EXPECT_NE(b, 0u);
  EXPECT_NE(a, b);
  EXPECT_EQ(QNVNet_LivePause(a), 0u);
  EXPECT_EQ(QNVNet_LivePause(b), 0u);
  uint32_t ra = 0, rb = 0;
  std::string dir = "/tmp/qnv_live_" + std::to_string(getpid());
  EXPECT_EQ(QNVNet_LiveSaveOpen(a, (dir + "/a.dat").c_str(), ra), 0u);
  EXPECT_EQ(QNVNet_LiveSaveOpen(b, (dir + "/b.dat").c_str(), rb), 0u);
  EXPECT_EQ(QNVNet_LiveSaveClose(a, ra), 0u);
  EXPECT_EQ(QNVNet_LiveSaveClose(b, rb), 0u);
  EXPECT_EQ(QNVNet_LiveClose(a), 0u);
  EXPECT_EQ(QNVNet_LivePlay(b), 0u);
  EXPECT_EQ(QNVNet_LiveClose(b), 0u);
  EXPECT_EQ(CLibrary::Instance().ChannelCount(), 0u);
  std::system(("rm -rf " + dir).c_str());
}

TEST_F(Live, CaptureSaysWhetherAnImageWasWritten) {
  uint32_t h = Open();
  ASSERT_TRUE(WaitFrames(60));
  std::string path = "/tmp/qnv_snap_" + std::to_string(getpid()) + ".jpg";
  uint32_t rc = QNVNet_LiveCapture(h, path.c_str());
  if (PlayerIsLoaded()) {
    EXPECT_EQ(rc, 0u);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
  } else {
    EXPECT_EQ(rc, QNVNET_ERR_CAPTURE);
  }
  unlink(path.c_str());
  EXPECT_EQ(QNVNet_LiveCapture(h, nullptr), QNVNET_ERR_CAPTURE);
  // A FIFO nobody reads, a device, a directory: refused at once.
  const std::string fifo = "/tmp/qnv_snap_fifo_" + std::to_string(getpid()) + ".jpg";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const char* special : {fifo.c_str(), "/dev/null", "/tmp"})
    EXPECT_EQ(QNVNet_LiveCapture(h, special), QNVNET_ERR_CAPTURE) << special;
  unlink(fifo.c_str());
}

TEST_F(Live, SixtyFifthChannelIsRefusedWithoutTraffic) {
  std::vector<uint32_t> handles;
  uint32_t second = Login();
  for (int i = 0; i < 64; ++i) handles.push_back(Open(i % 2 ? second : id));
  std::sort(handles.begin(), handles.end());
  EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end());
  sim->ClearRequests();
  uint32_t extra = 5;
  EXPECT_EQ(QNVNet_LiveOpen(&extra, id, nullptr), QNVNET_ERR_TOO_MANY_CHANNELS);
  EXPECT_EQ(extra, 5u);
  EXPECT_TRUE(Commands().empty());
  // Logout removes only that session's channels.
  EXPECT_EQ(QNVNet_DevLogout(second), 0u);
  EXPECT_EQ(CLibrary::Instance().ChannelCount(), 32u);
  int alive = 0;
  for (uint32_t h : handles) alive += QNVNet_LivePlay(h) == 0;
  EXPECT_EQ(alive, 32);
}

TEST_F(Live, DroppedStreamIsReportedAndTheChannelStillAnswers) {
  sim->SetStreamFault({devsim::StreamFault::kDropMidFrame, 0, 1});
  uint32_t h = Open();
  ASSERT_TRUE(WaitFor([&] { return !Log().Disconnects().empty(); }));
  auto events = Log().Disconnects();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].clientId, id);
  EXPECT_EQ(events[0].port, uint16_t(sim->Port() + 2));
  EXPECT_EQ(QNVNet_LivePause(h), 0u);
  EXPECT_EQ(QNVNet_LivePlay(h), 0u);
  EXPECT_EQ(QNVNet_LiveClose(h), 0u);
  EXPECT_EQ(Log().Disconnects().size(), 1u);
}

std::atomic<uint32_t> g_selfHandle{0};
std::atomic<int> g_afterClose{0};
std::atomic<bool> g_closed{false};
bool CloseFromStreamCallback(uint32_t, char*, uint16_t, char*, int32_t, uint32_t) {
  if (g_closed) {
    ++g_afterClose;
    return true;
  }
  g_closed = true;
  while (g_selfHandle == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  QNVNet_LiveClose(g_selfHandle);
  return true;
}

TEST_F(Live, ClosingFromItsOwnStreamCallback) {
  g_closed = false;
  g_afterClose = 0;
  QNVNet_SetCallback(nullptr, &CloseFromStreamCallback, nullptr, 0);
  g_selfHandle = 0;
  g_selfHandle = Open();  // the callback waits until the handle is known
  ASSERT_TRUE(WaitFor([&] { return g_closed.load(); }));
  ASSERT_TRUE(WaitFor([&] { return CLibrary::Instance().ChannelCount() == 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(g_afterClose, 0);
  EXPECT_EQ(QNVNet_LivePause(g_selfHandle), QNVNET_ERR_NO_SESSION);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 0, 0, 0, 0), 0u);
}

// A player whose input of the first frame takes a while: a close that comes
// meanwhile must not close the port under it.
std::atomic<int> g_inputState{0};  // 0 before, 1 inside the first input, 2 after it
std::atomic<bool> g_closedDuringInput{false};
int SlowInput(uint32_t, const uint8_t*, int32_t) {
  int before = 0;
  if (g_inputState.compare_exchange_strong(before, 1)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    g_inputState = 2;
  }
  return 0;
}
int RecordClose(uint32_t) {
  if (g_inputState == 1) g_closedDuringInput = true;
  return 0;
}
int OpenPort(uint32_t* handle, void*, int32_t, const char*) {
  *handle = 42;
  return 0;
}

TEST_F(Live, CloseWaitsForAFrameInThePlayer) {
  const PlayerApi fake{[] { return 0; }, [] { return 0; }, &OpenPort,
                       &RecordClose,     &SlowInput,       [](uint32_t, const char*) { return -1; },
                       nullptr,          nullptr};
  g_inputState = 0;
  g_closedDuringInput = false;
  SetPlayerForTesting(&fake);
  // Only a channel with a window feeds the player.
  uint32_t h = 0;
  ASSERT_EQ(QNVNet_LiveOpen(&h, id, reinterpret_cast<HWND>(0x99)), 0u);
  ASSERT_TRUE(WaitFor([&] { return g_inputState.load() != 0; }));
  EXPECT_EQ(QNVNet_LiveClose(h), 0u);
  EXPECT_EQ(g_inputState.load(), 2);
  EXPECT_FALSE(g_closedDuringInput.load());
  SetPlayerForTesting(nullptr);
}

bool LogoutFromStreamCallback(uint32_t clientId, char*, uint16_t, char*, int32_t, uint32_t) {
  QNVNet_DevLogout(clientId);
  return true;
}

TEST_F(Live, LoggingOutFromAStreamCallback) {
  QNVNet_SetCallback(nullptr, &LogoutFromStreamCallback, nullptr, 0);
  // The first frame can arrive, and log the session out, before the open
  // returns: the open then reports the session gone, with nothing left open.
  uint32_t h = 0;
  const uint32_t rc = QNVNet_LiveOpen(&h, id, nullptr);
  EXPECT_TRUE(rc == 0u || rc == QNVNET_ERR_NO_SESSION) << int32_t(rc);
  ASSERT_TRUE(WaitFor([&] { return CLibrary::Instance().SessionCount() == 0; }));
  EXPECT_EQ(CLibrary::Instance().ChannelCount(), 0u);
  uint32_t again = Login();
  EXPECT_EQ(QNVNet_PTZCtrlSend(again, 0, 0, 0, 0), 0u);
}

TEST(LiveScripted, StreamConnectionFailureClosesTheDevicesStream) {
  // A scripted device whose stream port (its port + 2) has nothing behind it.
  test::LoopbackPeer device;
  test::LoopbackPeer probe;  // hold a port so +2 is very likely closed
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  std::vector<std::vector<uint8_t>> seen;
  std::thread script([&] {
    if (!device.Accept()) return;
    for (;;) {
      auto prefix = device.Read(4, 8000);
      if (prefix.size() < 4) return;
      uint32_t len = uint32_t(prefix[0]) << 16 | uint32_t(prefix[1]) << 8 | prefix[2];
      auto rest = device.Read(len - 4, 3000);
      uint16_t cls = uint16_t(rest[8] | rest[9] << 8), code = uint16_t(rest[10] | rest[11] << 8);
      seen.push_back(rest);
      std::vector<uint8_t> payload;
      if (cls == 3 && code == 1) payload = {42, 0, 0, 0};
      device.Write(test::MakeReply(cls, code, 0, 9, payload));
    }
  });
  uint32_t id = 0;
  ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", device.Port(), "u", "p"), 0u);
  uint32_t h = 3;
  EXPECT_EQ(QNVNet_LiveOpen(&h, id, nullptr), QNVNET_ERR_NO_CHANNEL);
  EXPECT_EQ(h, 3u);
  QNVNet_UnInitLib();
  device.Shutdown();
  script.join();
  ASSERT_EQ(seen.size(), 3u);  // login, open, close
  EXPECT_EQ(seen[2][8], 3);
  EXPECT_EQ(seen[2][10], 2);
  EXPECT_EQ((std::vector<uint8_t>(seen[2].begin() + 16, seen[2].end())),
            (std::vector<uint8_t>{42, 0, 0, 0}));
}

TEST(LiveScripted, StreamPortWrapsAroundSixteenBits) {
  // A device on port 65535 streams on port 1 (65535 + 2 in 16 bits). Binding
  // both ports needs them free and, for port 1, privileges.
  auto listenOn = [](uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  };
  int command = listenOn(65535), stream = listenOn(1);
  if (command < 0 || stream < 0) {
    if (command >= 0) ::close(command);
    if (stream >= 0) ::close(stream);
    GTEST_SKIP() << "ports 65535 and 1 are not both available here";
  }
  ASSERT_EQ(QNVNet_InitLib(), 0u);
  std::thread script([&] {
    int c = ::accept(command, nullptr, nullptr);
    for (int i = 0; i < 2; ++i) {  // login, open stream
      uint8_t req[64];
      if (::recv(c, req, 20, MSG_WAITALL) != 20) break;
      uint32_t len = uint32_t(req[0]) << 16 | uint32_t(req[1]) << 8 | req[2];
      if (len > 20) ::recv(c, req + 20, len - 20, MSG_WAITALL);
      std::vector<uint8_t> payload;
      if (req[12] == 3) payload = {5, 0, 0, 0};
      auto reply = test::MakeReply(req[12], req[14], 0, 1, payload);
      ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
    }
    ::close(c);
  });
  uint32_t id = 0, h = 0;
  ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", 65535, "u", "p"), 0u);
  EXPECT_EQ(QNVNet_LiveOpen(&h, id, nullptr), 0u);
  script.join();
  pollfd p{stream, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 3000), 1);  // the stream connection came to port 1
  int s = ::accept(stream, nullptr, nullptr);
  uint8_t attach[24];
  EXPECT_EQ(::recv(s, attach, sizeof attach, MSG_WAITALL), 24);
  EXPECT_EQ(attach[12], 3);
  EXPECT_EQ(attach[14], 5);
  EXPECT_EQ(attach[20], 5);
  QNVNet_UnInitLib();
  ::close(s);
  ::close(command);
  ::close(stream);
}

}  // namespace
}  // namespace qnv
