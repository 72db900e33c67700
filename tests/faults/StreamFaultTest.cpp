// Faults of live channels: the streaming connection refused, never accepted,
// dropped in the middle of a frame, fed garbage or oversize frames; the
// device's stream ended by the host's own close; and the device dropping
// every connection. Each case checks the callbacks the host gets (one report
// per failed streaming connection, with the login port + 2), that the channel
// can still be closed, and that the library goes on working.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "FaultFixture.h"
#include "platform/Socket.h"
#include "support/LoopbackPeer.h"
#include "support/StreamCapture.h"

namespace qnv {
namespace {

using devsim::StreamFault;
using test::CHostLog;
using test::WaitUntil;

class StreamFaults : public test::FaultTest {};

TEST_F(StreamFaults, ClosingAChannelReportsNoFailureOfItsStream) {
  // The device ends the stream because the host asked it to: that is no
  // failure, whichever side notices the end first.
  uint32_t id = Login();
  for (int round = 0; round < 20; ++round) {
    uint32_t handle = Open(id);
    ASSERT_TRUE(FramesFlow(1));
    EXPECT_EQ(QNVNet_LiveClose(handle), 0u);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
}

TEST_F(StreamFaults, StreamConnectionClosedAtOnceIsReportedOnce) {
  uint32_t id = Login();
  sim->SetStreamFault({StreamFault::kRefuse, 0, -1});
  uint32_t handle = Open(id);
  ASSERT_NE(handle, 0u);
  ASSERT_TRUE(WaitUntil([&] { return !DisconnectsOn(Port() + 2).empty(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ExpectOneDisconnect(id, uint16_t(Port() + 2));
  // The channel stays until the host closes it; the session is untouched.
  EXPECT_EQ(CHostLog::Get().Frames(), 0u);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
  EXPECT_EQ(QNVNet_LiveClose(handle), 0u);
  EXPECT_TRUE(DisconnectsOn(Port()).empty());
  sim->ClearFaults();
  ExpectUsable();
}

// Fails every one-way message (the attach request) as a reset link would.
ssize_t FailOneWaySend(int fd, const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  if (length >= 8 && p[4] == 0 && p[5] == 1 && p[6] == 0 && p[7] == 1) {
    errno = EPIPE;
    return -1;
  }
  return ::send(fd, data, length, MSG_NOSIGNAL);
}

TEST_F(StreamFaults, StreamThatFailsBothWaysIsReportedOnce) {
  // The attach cannot be sent and the device closes the connection as well:
  // two failures of one streaming connection, one report.
  const platform::SocketHooks hooks{&FailOneWaySend, nullptr};
  platform::SetSocketHooksForTesting(&hooks);
  uint32_t id = Login();
  sim->SetStreamFault({StreamFault::kRefuse, 0, -1});
  uint32_t handle = Open(id);
  ASSERT_NE(handle, 0u);
  ASSERT_TRUE(WaitUntil([&] { return !DisconnectsOn(Port() + 2).empty(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  platform::SetSocketHooksForTesting(nullptr);
  ExpectOneDisconnect(id, uint16_t(Port() + 2));
  EXPECT_EQ(QNVNet_LiveClose(handle), 0u);
  sim->ClearFaults();
  ExpectUsable();
}

TEST_F(StreamFaults, StreamConnectionNeverAcceptedCanBeClosed) {
  uint32_t id = Login();
  sim->SetStreamFault({StreamFault::kRefuse, 1, -1});
  uint32_t handle = Open(id);
  ASSERT_NE(handle, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(CHostLog::Get().Frames(), 0u);
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  EXPECT_EQ(QNVNet_LiveClose(handle), 0u);
  sim->ClearFaults();
  ExpectUsable();
}

TEST_F(StreamFaults, StreamConnectionRefusedClosesTheDeviceStream) {
  // A scripted device whose stream port refuses connections: nothing listens
  // there, but the port is held so nothing else can take it.
  test::LoopbackPeer device;
  int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(uint16_t(device.Port() + 2));
  if (::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(holder);
    GTEST_SKIP() << "the stream port is taken";
  }
  std::vector<uint8_t> closeRequest;
  std::thread script([&] {
    if (!device.Accept()) return;
    if (device.Read(52).size() != 52) return;  // login
    device.Write(test::MakeReply(1, 1, 0, 7));
    if (device.Read(20).size() != 20) return;  // open stream
    device.Write(test::MakeReply(3, 1, 0, 7, {0x34, 0x12, 0, 0}));
    closeRequest = device.Read(24);
    device.Write(test::MakeReply(3, 2, 0, 7));
  });
  uint32_t id = 0, handle = 0;
  ASSERT_EQ(QNVNet_DevLogin(&id, "127.0.0.1", device.Port(), "admin", "admin"), 0u);
  EXPECT_EQ(QNVNet_LiveOpen(&handle, id, nullptr), QNVNET_ERR_NO_CHANNEL);
  script.join();
  // The device's stream, opened for this request, was closed again.
  ASSERT_EQ(closeRequest.size(), 24u);
  EXPECT_EQ(closeRequest[12], 3);
  EXPECT_EQ(closeRequest[14], 2);
  EXPECT_EQ(test::Le32At(closeRequest, 20), 0x1234u);
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  EXPECT_EQ(QNVNet_DevLogout(id), 0u);
  device.Close();
  ::close(holder);
}

TEST_F(StreamFaults, StreamDroppedMidFrameIsReportedOnceAndTheChannelStays) {
  uint32_t id = Login();
  uint32_t handle = Open(id);
  ASSERT_TRUE(FramesFlow());
  sim->SetStreamFault({StreamFault::kDropMidFrame, 0, 1});
  ASSERT_TRUE(WaitUntil([&] { return !DisconnectsOn(Port() + 2).empty(); }));
  const uint64_t frames = CHostLog::Get().Frames();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  ExpectOneDisconnect(id, uint16_t(Port() + 2));
  EXPECT_EQ(CHostLog::Get().Frames(), frames);  // the half frame is never delivered
  EXPECT_EQ(CHostLog::Get().BadFrames(), 0u);
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), 0u);
  EXPECT_EQ(QNVNet_LiveClose(handle), 0u);
  // A new channel on the same session streams again.
  uint32_t again = Open(id);
  EXPECT_TRUE(FramesFlow());
  EXPECT_EQ(QNVNet_LiveClose(again), 0u);
  EXPECT_EQ(CHostLog::Get().Disconnects().size(), 1u);
}

TEST_F(StreamFaults, GarbageBetweenFramesIsSkipped) {
  uint32_t id = Login();
  uint32_t handle = Open(id);
  ASSERT_TRUE(FramesFlow());
  sim->SetStreamFault({StreamFault::kGarbage, 1000, 3});
  EXPECT_TRUE(FramesFlow(10));
  sim->SetStreamFault({StreamFault::kGarbage, 70000, 1});  // more than one read
  EXPECT_TRUE(FramesFlow(10));
  EXPECT_EQ(CHostLog::Get().BadFrames(), 0u);
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  EXPECT_EQ(QNVNet_LiveClose(handle), 0u);
}

TEST_F(StreamFaults, OversizeFramesAreDeliveredOrSkipped) {
  uint32_t id = Login();
  uint32_t handle = Open(id);
  ASSERT_TRUE(FramesFlow());
  // 2 MiB really sent: delivered whole, and the stream goes on.
  sim->SetStreamFault({StreamFault::kOversize, 2u << 20, 1});
  EXPECT_TRUE(FramesFlow(10));
  EXPECT_EQ(CHostLog::Get().BadFrames(), 0u);
  // A header that claims 64 MiB with nothing behind it: the frame is skipped
  // by its declared length, so the frames behind it go with it. The channel
  // still closes at once, and a new one streams.
  sim->SetStreamFault({StreamFault::kOversize, 64u << 20, 1});
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(CHostLog::Get().Disconnects().empty());
  EXPECT_EQ(QNVNet_LiveClose(handle), 0u);
  uint32_t again = Open(id);
  EXPECT_TRUE(FramesFlow());
  EXPECT_EQ(QNVNet_LiveClose(again), 0u);
  EXPECT_EQ(CHostLog::Get().BadFrames(), 0u);
  ExpectUsable();
}

TEST_F(StreamFaults, DeviceDroppingEverythingIsReportedPerConnection) {
  uint32_t id = Login();
  uint32_t first = Open(id), second = Open(id);
  ASSERT_TRUE(FramesFlow());
  sim->DropAllConnections();
  // Each streaming connection reports its end on its receive thread.
  ASSERT_TRUE(WaitUntil([&] { return DisconnectsOn(Port() + 2).size() == 2; }));
  // The command connection's loss shows at the next exchange.
  EXPECT_EQ(QNVNet_PTZCtrlSend(id, 1, 1, 1, 1), QNVNET_ERR_NO_REPLY);
  ExpectOneDisconnect(id, Port());
  EXPECT_EQ(QNVNet_LiveClose(first), QNVNET_ERR_NO_SESSION);
  EXPECT_EQ(QNVNet_LiveClose(second), QNVNET_ERR_NO_SESSION);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(CHostLog::Get().Disconnects().size(), 3u);
  ExpectUsable();
}

}  // namespace
}  // namespace qnv
