// CTcpClient in request/response mode against a scripted loopback peer:
// framing, split and coalesced messages, time-outs, closes and connects.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/Socket.h"
#include "protocol/CommandMessage.h"
#include "support/LoopbackPeer.h"
#include "transport/CTcpClient.h"

namespace qnv {

using namespace protocol;
namespace {

using test::LoopbackPeer;
using Clock = std::chrono::steady_clock;

std::atomic<int> g_disconnects{0};
struct SCountDisconnects final : ICommandSink {
  void DeviceMessage(const uint8_t*, int32_t) override {}
  void Disconnected() override { ++g_disconnects; }
} g_countDisconnects;

std::vector<uint8_t> Message(uint32_t length, uint8_t fill = 0xAB) {
  std::vector<uint8_t> m(length, fill);
  EncodeLengthPrefix(m.data(), length);
  return m;
}

class TcpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_disconnects = 0;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port(), &g_countDisconnects));
    ASSERT_TRUE(peer.Accept());
  }
  void TearDown() override { client.Close(); }
  LoopbackPeer peer;
  CTcpClient client;
  uint8_t buf[kTransactArea] = {};
};

TEST_F(TcpClientTest, PrefixOnlyMessageIsAccepted) {
  peer.Write(Message(4));
  EXPECT_EQ(client.Receive(buf, sizeof buf, 3000), 4);
}

TEST_F(TcpClientTest, InvalidPrefixesGiveZeroAndKeepTheConnection) {
  std::vector<uint8_t> three = {0, 0, 3, 3};
  peer.Write(three);
  EXPECT_EQ(client.Receive(buf, sizeof buf, 3000), 0);
  std::vector<uint8_t> tooLong(4);
  EncodeLengthPrefix(tooLong.data(), 65537);
  peer.Write(tooLong);
  EXPECT_EQ(client.Receive(buf, sizeof buf, 3000), 0);
  std::vector<uint8_t> badCheck = {0, 0, 0x18, 0x19};
  peer.Write(badCheck);
  EXPECT_EQ(client.Receive(buf, sizeof buf, 3000), 0);
  EXPECT_EQ(g_disconnects, 0);
  peer.Write(Message(30, 7));
  EXPECT_EQ(client.Receive(buf, sizeof buf, 3000), 30);
  EXPECT_EQ(buf[29], 7);
}

TEST_F(TcpClientTest, SplitMessageIsCompletedWithTheRealBytes) {
  auto m = Message(3000);
  for (size_t i = 4; i < m.size(); ++i) m[i] = uint8_t(i * 7);
  std::thread writer([&] {
    peer.Write({m.begin(), m.begin() + 2});  // not even a whole prefix
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.Write({m.begin() + 2, m.begin() + 1500});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.Write({m.begin() + 1500, m.end()});
  });
  int32_t n = client.Receive(buf, sizeof buf, 3000);
  writer.join();
  ASSERT_EQ(n, 3000);
  EXPECT_TRUE(std::equal(m.begin(), m.end(), buf));
}

TEST_F(TcpClientTest, CoalescedMessagesAreBothDelivered) {
  auto a = Message(24, 1), b = Message(40, 2);
  std::vector<uint8_t> both = a;
  both.insert(both.end(), b.begin(), b.end());
  peer.Write(both);
  EXPECT_EQ(client.Receive(buf, sizeof buf, 3000), 24);
  EXPECT_EQ(buf[23], 1);
  EXPECT_EQ(client.Receive(buf, sizeof buf, 3000), 40);
  EXPECT_EQ(buf[39], 2);
}

TEST_F(TcpClientTest, MessageLongerThanCapacityIsConsumedAndRejected) {
  uint8_t small[64];
  uint8_t guard[64];
  std::memset(guard, 0x5A, sizeof guard);
  auto big = Message(200, 9), next = Message(20, 3);
  big.insert(big.end(), next.begin(), next.end());
  peer.Write(big);
  struct {
    uint8_t area[64];
    uint8_t after[64];
  } layout;
  std::memset(layout.after, 0x5A, sizeof layout.after);
  EXPECT_EQ(client.Receive(layout.area, sizeof layout.area, 3000), 0);
  EXPECT_EQ(std::memcmp(layout.after, guard, sizeof guard), 0);
  EXPECT_EQ(client.Receive(small, sizeof small, 3000), 20);
  EXPECT_EQ(small[19], 3);
}

TEST_F(TcpClientTest, ShortTimeoutPollsAndReturnsAtOnce) {
  auto t0 = Clock::now();
  EXPECT_EQ(client.Receive(buf, sizeof buf, 500), 0);
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(400));
}

TEST_F(TcpClientTest, SilentPeerTimesOutAfterTwiceTheWait) {
  auto t0 = Clock::now();
  EXPECT_EQ(client.Receive(buf, sizeof buf, 3000), 0);
  auto elapsed = Clock::now() - t0;
  EXPECT_GE(elapsed, std::chrono::milliseconds(5900));
  EXPECT_LT(elapsed, std::chrono::milliseconds(7500));
  EXPECT_EQ(g_disconnects, 0);
}

TEST_F(TcpClientTest, TruncatedMessageIsNeverPadded) {
  auto m = Message(100);
  peer.Write({m.begin(), m.begin() + 50});
  // The rest never comes: no message, rather than one padded with zeros.
  EXPECT_EQ(client.Receive(buf, sizeof buf, 500), 0);
}

TEST_F(TcpClientTest, PeerClosingDuringReadNotifiesOnce) {
  auto m = Message(100);
  peer.Write({m.begin(), m.begin() + 10});
  peer.Close();
  EXPECT_LE(client.Receive(buf, sizeof buf, 3000), 0);
  EXPECT_EQ(g_disconnects, 1);
  EXPECT_TRUE(client.IsBroken());
  // The socket number stays reserved until the owner closes the connection.
  EXPECT_GE(client.Socket(), 0);
}

TEST_F(TcpClientTest, SendToClosedPeerFailsWithoutSignal) {
  peer.Close();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::vector<uint8_t> data(100000, 1);
  bool ok = true;
  for (int i = 0; i < 20 && ok; ++i) ok = client.Send(data.data(), int32_t(data.size()));
  EXPECT_FALSE(ok);  // and the process is still alive: no SIGPIPE
  EXPECT_GE(g_disconnects, 1);
}

std::atomic<int> g_sendCalls{0};
ssize_t OneByteSend(int fd, const void* data, size_t) {
  ++g_sendCalls;
  return ::send(fd, data, 1, MSG_NOSIGNAL);
}

TEST_F(TcpClientTest, PartialSendsAreContinued) {
  static const platform::SocketHooks hooks = {&OneByteSend, nullptr};
  platform::SetSocketHooksForTesting(&hooks);
  auto m = Message(64, 0x42);
  bool sent = client.Send(m.data(), int32_t(m.size()));
  platform::SetSocketHooksForTesting(nullptr);
  EXPECT_TRUE(sent);
  EXPECT_EQ(g_sendCalls, 64);
  EXPECT_EQ(peer.Read(64), m);
}

TEST(TcpConnect, RefusedConnectFailsAtOnce) {
  uint16_t port;
  {
    LoopbackPeer closed;
    port = closed.Port();
  }
  CTcpClient c;
  auto t0 = Clock::now();
  EXPECT_FALSE(c.Connect("127.0.0.1", port, nullptr));
  EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000));
  EXPECT_EQ(c.Socket(), -1);
}

TEST(TcpConnect, UnansweredHandshakeFailsAfterFiveSeconds) {
  // A listener with a full backlog that never accepts drops further SYNs.
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  uint16_t port = ntohs(a.sin_port);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ::connect(f, reinterpret_cast<sockaddr*>(&a), sizeof a);
    fillers.push_back(f);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  CTcpClient c;
  auto t0 = Clock::now();
  EXPECT_FALSE(c.Connect("127.0.0.1", port, nullptr));
  auto elapsed = Clock::now() - t0;
  EXPECT_GE(elapsed, std::chrono::milliseconds(4900));
  EXPECT_LT(elapsed, std::chrono::milliseconds(6500));
  for (int f : fillers) ::close(f);
  ::close(listener);
}

TEST(TcpConnect, AddressTextIsCheckedAndStored) {
  LoopbackPeer peer;
  CTcpClient c;
  EXPECT_FALSE(c.Connect("127.0.0.1.5", peer.Port(), nullptr));
  EXPECT_FALSE(c.Connect("localhost", peer.Port(), nullptr));
  ASSERT_TRUE(c.Connect("127.000.0.1", peer.Port(), nullptr));
  EXPECT_STREQ(c.PeerAddress(), "127.000.0.1");
  EXPECT_EQ(c.PeerPort(), peer.Port());
  c.Close();
}

TEST(ParseIPv4, AcceptsOnlyDottedQuads) {
  EXPECT_TRUE(platform::ParseIPv4("127.0.0.1", nullptr));
  EXPECT_TRUE(platform::ParseIPv4("255.255.255.255", nullptr));
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "a.b.c.d", "1.2.3.4 ",
                          "0001.2.3.4", "1.2.3.4444", "1234567890123456"})
    EXPECT_FALSE(platform::ParseIPv4(bad, nullptr)) << bad;
  EXPECT_FALSE(platform::ParseIPv4(nullptr, nullptr));
}

}  // namespace
}  // namespace qnv
