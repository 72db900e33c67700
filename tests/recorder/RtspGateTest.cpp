// The recorder's RTSP port against hostile clients, over raw sockets on
// 127.0.0.1: a request that never ends, a client that sends part of one or
// nothing, more connections than allowed, wrong and missing credentials on
// every path, and a camera that is down: the abuser is cut off or refused
// at once, and every other client is served meanwhile.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "RecorderFixture.h"
#include "support/RtspViewer.h"

// The gate's limits, as its header states them: 64 connections, 10 s for a
// request.

using namespace qnvrectest;
using qnvtest::RtspClient;
using qnvtest::RtspStatus;

namespace {

using Clock = std::chrono::steady_clock;

class RtspGate : public RecorderService {
 protected:
  // cam1 streams, cam2's port has no device: it stays down.
  uint16_t StartGateway(const std::string& rtsp, std::map<std::string, std::string> env = {}) {
    auto& device = AddDevice();
    StartRecorder("[rtsp]\nport = 0\n" + rtsp + Camera("cam1", device.Port()) + Camera("cam2", 1),
                  std::move(env));
    const uint16_t port = RtspPort();
    // No pause for the first key picture: requests wait for it at the gate.
    EXPECT_TRUE(WaitCount("camera cam1: connected", 1, 10000)) << m_recorder->Stderr();
    m_url = "rtsp://127.0.0.1:" + std::to_string(port) + "/";
    return port;
  }
  std::string m_url;
};

TEST_F(RtspGate, AnEndlessRequestIsCutOffWhileOthersAreServedAtOnce) {
  const uint16_t port = StartGateway("");
  ASSERT_NE(port, 0);
  std::atomic<int64_t> cutAfterMs{-1};
  std::thread attacker([&] {
    RtspClient evil(port);
    const auto start = Clock::now();
    evil.Send("DESCRIBE " + m_url + "cam1 RTSP/1.0\r\nX-Pad: ");
    const std::string chunk(65536, 'a');
    while (MsSince(start) < 15000) {
      if (!evil.Send(chunk)) {
        cutAfterMs = MsSince(start);
        return;
      }
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  for (int i = 0; i < 5; ++i) {
    RtspClient viewer(port);
    const auto asked = Clock::now();
    EXPECT_EQ(RtspStatus(viewer.Ask("OPTIONS", "*")), "RTSP/1.0 200 OK");
    const std::string describe =
        viewer.Ask("DESCRIBE", m_url + "cam1", "", "Accept: application/sdp\r\n");
    EXPECT_EQ(RtspStatus(describe), "RTSP/1.0 200 OK") << describe;
    EXPECT_NE(describe.find("m=video"), std::string::npos) << describe;
    EXPECT_LT(MsSince(asked), 2000);
  }
  // A camera that is down answers SETUP (no DESCRIBE first) at once, and
  // holds nobody up meanwhile.
  RtspClient down(port), other(port);
  const auto asked = Clock::now();
  EXPECT_EQ(RtspStatus(down.Ask("SETUP", m_url + "cam2/stream=0", "",
                                "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")),
            "RTSP/1.0 503 Service Unavailable");
  EXPECT_EQ(RtspStatus(other.Ask("DESCRIBE", m_url + "cam1")), "RTSP/1.0 200 OK");
  EXPECT_LT(MsSince(asked), 1000);
  EXPECT_EQ(RtspStatus(down.Ask("DESCRIBE", m_url + "nosuch")), "RTSP/1.0 404 Not Found");
  attacker.join();
  EXPECT_GE(cutAfterMs, 0);
  EXPECT_LT(cutAfterMs, 5000);
  const ChildResult result = Terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.err.find("rtsp: cut off 127.0.0.1:"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("a request longer than 8 KiB"), std::string::npos) << result.err;
}

// A camera that is connected but has sent no key picture yet (its device's
// streams frozen): a request for it waits while others are served, and is
// refused with the reason after 5 s without one; once the stream goes on, a
// waiting request is answered at the first key picture.
TEST_F(RtspGate, ARequestWaitsForTheFirstKeyPictureOfACameraThatJustConnected) {
  auto& device = AddDevice();
  device.Freeze(qnv::devsim::FreezeScope::kStream);
  StartRecorder("[rtsp]\nport = 0\n" + Camera("cam1", device.Port(), "stall_seconds = 60"));
  const uint16_t port = RtspPort();
  ASSERT_NE(port, 0);
  ASSERT_TRUE(WaitCount("camera cam1: connected", 1, 10000)) << m_recorder->Stderr();
  m_url = "rtsp://127.0.0.1:" + std::to_string(port) + "/";

  std::atomic<int64_t> optionsMs{-1};
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    RtspClient client(port);
    const auto asked = Clock::now();
    if (RtspStatus(client.Ask("OPTIONS", "*")) == "RTSP/1.0 200 OK") optionsMs = MsSince(asked);
  });
  RtspClient refused(port);
  auto asked = Clock::now();
  EXPECT_EQ(RtspStatus(refused.Ask("DESCRIBE", m_url + "cam1", "", "", 15000)),
            "RTSP/1.0 503 Service Unavailable");
  EXPECT_GE(MsSince(asked), 4500);
  EXPECT_LT(MsSince(asked), 10000);
  other.join();
  EXPECT_GE(optionsMs, 0);
  EXPECT_LT(optionsMs, 1000);

  RtspClient viewer(port);
  std::thread thaw([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    device.Thaw();
  });
  asked = Clock::now();
  const std::string describe =
      viewer.Ask("DESCRIBE", m_url + "cam1", "", "Accept: application/sdp\r\n", 15000);
  thaw.join();
  EXPECT_EQ(RtspStatus(describe), "RTSP/1.0 200 OK") << describe;
  EXPECT_NE(describe.find("m=video"), std::string::npos) << describe;
  EXPECT_GE(MsSince(asked), 900);
  const ChildResult result = Terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(
      result.err.find("rtsp cam1: refused a client: no key picture from the camera within 5 s"),
      std::string::npos)
      << result.err;
}

TEST_F(RtspGate, SlowSilentAndSurplusConnectionsAreCutOff) {
  const uint16_t port = StartGateway("");
  ASSERT_NE(port, 0);
  RtspClient slow(port), silent(port);
  ASSERT_TRUE(slow.Send("OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n"));  // and never the rest
  std::vector<std::unique_ptr<RtspClient>> idle;
  for (size_t i = 2; i < 64; ++i) idle.push_back(std::make_unique<RtspClient>(port));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  RtspClient surplus(port);
  EXPECT_TRUE(surplus.ClosedWithin(1000));  // the cap: closed at once
  const auto start = Clock::now();
  EXPECT_TRUE(slow.ClosedWithin(13000));
  EXPECT_TRUE(silent.ClosedWithin(1000));
  EXPECT_GE(MsSince(start), 7000);
  RtspClient after(port);
  EXPECT_EQ(RtspStatus(after.Ask("OPTIONS", "*")), "RTSP/1.0 200 OK");
  const ChildResult result = Terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_NE(result.err.find("connections are open, the most"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("a request not complete within 10 s"), std::string::npos) << result.err;
}

TEST_F(RtspGate, CredentialsComeFirstOnEveryPathAndRefusalsAreLoggedSparingly) {
  const uint16_t port = StartGateway("user = \"viewer\"\npassword_env = \"QNVREC_RTSP_PW\"\n",
                                     {{"QNVREC_RTSP_PW", "s3cret"}});
  ASSERT_NE(port, 0);
  const std::string good = "dmlld2VyOnMzY3JldA==";  // viewer:s3cret
  const std::string wrong = "dmlld2VyOndyb25n";     // viewer:wrong
  RtspClient anonymous(port);
  for (const std::string& path : {std::string("*"), m_url + "cam1", m_url + "cam2",
                                  m_url + "nosuch", m_url + "cam2/stream=0"}) {
    const std::string r = anonymous.Ask(path == "*" ? "OPTIONS" : "DESCRIBE", path);
    EXPECT_EQ(RtspStatus(r), "RTSP/1.0 401 Unauthorized") << path;
    EXPECT_NE(r.find("WWW-Authenticate: Basic"), std::string::npos) << r;
    EXPECT_EQ(r.find("Service Unavailable"), std::string::npos) << r;
  }
  // Wrong credentials: refused, the connection goes after five, the log
  // keeps to a few lines.
  for (int c = 0; c < 4; ++c) {
    RtspClient guesser(port);
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(RtspStatus(guesser.Ask("DESCRIBE", m_url + "cam1", wrong)),
                "RTSP/1.0 401 Unauthorized");
    }
    EXPECT_TRUE(guesser.ClosedWithin(2000));
  }
  RtspClient viewer(port);
  const auto asked = Clock::now();
  EXPECT_EQ(RtspStatus(viewer.Ask("DESCRIBE", m_url + "cam2", good)),
            "RTSP/1.0 503 Service Unavailable");
  EXPECT_EQ(RtspStatus(viewer.Ask("SETUP", m_url + "cam2/stream=0", good,
                                  "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n")),
            "RTSP/1.0 503 Service Unavailable");
  EXPECT_LT(MsSince(asked), 1000);
  EXPECT_EQ(RtspStatus(viewer.Ask("DESCRIBE", m_url + "nosuch", good)), "RTSP/1.0 404 Not Found");
  const std::string sdp = viewer.Ask("DESCRIBE", m_url + "cam1", good);
  EXPECT_EQ(RtspStatus(sdp), "RTSP/1.0 200 OK") << sdp;
  const ChildResult result = Terminate();
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_GE(Count(result.err, "rtsp: refused a login from 127.0.0.1"), 1u) << result.err;
  EXPECT_LE(Count(result.err, "rtsp: refused a login from 127.0.0.1"), 5u) << result.err;
  EXPECT_EQ(result.err.find("s3cret"), std::string::npos);
}

}  // namespace
