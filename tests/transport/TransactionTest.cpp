// The command transaction and the generic get/set against a scripted peer.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "QNVNetSdk.h"
#include "protocol/CommandMessage.h"
#include "support/LoopbackPeer.h"
#include "transport/CommandTransaction.h"

namespace qnv {

using namespace protocol;
namespace {

using test::LoopbackPeer;
using test::MakeReply;

class TransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(conn.Connect("127.0.0.1", peer.Port(), nullptr));
    ASSERT_TRUE(peer.Accept());
  }
  void TearDown() override { conn.Close(); }
  // Answers the next request with reply once it has arrived whole.
  void AnswerWith(const std::vector<uint8_t>& reply) {
    responder = std::thread([this, reply] {
      auto prefix = peer.Read(4);
      if (prefix.size() != 4) return;
      uint32_t len = DecodeLengthPrefix(prefix.data());
      request = prefix;
      auto rest = peer.Read(len - 4);
      request.insert(request.end(), rest.begin(), rest.end());
      peer.Write(reply);
    });
  }
  void Join() {
    if (responder.joinable()) responder.join();
  }
  LoopbackPeer peer;
  CTcpClient conn;
  std::thread responder;
  std::vector<uint8_t> request;
  uint32_t session = 7;
};

TEST_F(TransactionTest, LoginReplySetsTheSessionId) {
  session = 0;
  AnswerWith(MakeReply(1, 1, 0, 0x1234));
  EXPECT_EQ(Transact(conn, session, {.commandClass = 1, .commandCode = 1, .timeoutMs = 3000}), 0u);
  Join();
  EXPECT_EQ(session, 0x1234u);
}

TEST_F(TransactionTest, ForeignSessionIdIsRejectedWithoutData) {
  AnswerWith(MakeReply(2, 4, 0, 8, {1, 2, 3}));
  uint8_t out[16] = {};
  int32_t outLength = 16;
  EXPECT_EQ(Transact(conn, session,
                     {.commandClass = 2,
                      .commandCode = 4,
                      .out = out,
                      .outLength = &outLength,
                      .timeoutMs = 3000}),
            QNVNET_ERR_SESSION_MISMATCH);
  Join();
  EXPECT_EQ(outLength, 16);
  EXPECT_EQ(out[0], 0);
}

TEST_F(TransactionTest, DeviceResultPassesThroughEvenWithAWrongSession) {
  AnswerWith(MakeReply(2, 4, 0x55, 99));
  EXPECT_EQ(Transact(conn, session, {.commandClass = 2, .commandCode = 4, .timeoutMs = 3000}),
            0x55u);
  Join();
  EXPECT_EQ(session, 7u);
}

TEST_F(TransactionTest, SixteenByteReplyReadsAsSuccessOfSessionZero) {
  session = 0;
  auto reply = MakeReply(2, 1, 0, 0);
  reply.resize(16);
  EncodeLengthPrefix(reply.data(), 16);
  AnswerWith(reply);
  EXPECT_EQ(Transact(conn, session, {.commandClass = 2, .commandCode = 1, .timeoutMs = 3000}), 0u);
  Join();
}

TEST_F(TransactionTest, ReplyShorterThanSixteenIsNoReply) {
  auto reply = MakeReply(2, 1, 0, 7);
  reply.resize(12);
  EncodeLengthPrefix(reply.data(), 12);
  AnswerWith(reply);
  EXPECT_EQ(Transact(conn, session, {.commandClass = 2, .commandCode = 1, .timeoutMs = 3000}),
            QNVNET_ERR_NO_REPLY);
  Join();
}

TEST_F(TransactionTest, StaleBytesFromATimedOutRequestAreDiscarded) {
  // A late answer to an earlier request sits in the socket.
  peer.Write(MakeReply(5, 1, 0x77, 7));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  AnswerWith(MakeReply(2, 1, 0, 7));
  EXPECT_EQ(Transact(conn, session, {.commandClass = 2, .commandCode = 1, .timeoutMs = 3000}), 0u);
  Join();
}

TEST_F(TransactionTest, OversizePayloadsAreRefusedWithoutSending) {
  std::vector<uint8_t> big(5000, 1);
  EXPECT_EQ(Transact(conn, session,
                     {.commandClass = 2,
                      .commandCode = 34,
                      .payload = big.data(),
                      .payloadLength = 4077,
                      .timeoutMs = 3000}),
            QNVNET_ERR_SEND);
  EXPECT_EQ(SetCommand(conn, session, 2, 34, big.data(), 4077), QNVNET_ERR_SEND);
  EXPECT_EQ(SendOneWay(conn, session, 3, 5, big.data(), 1005), QNVNET_ERR_NETWORK);
  EXPECT_EQ(peer.Pending(100), 0u);
  AnswerWith(MakeReply(2, 34, 0, 7));
  EXPECT_EQ(SetCommand(conn, session, 2, 34, big.data(), 4076), 0u);
  Join();
  EXPECT_EQ(request.size(), 4096u);
}

TEST_F(TransactionTest, GetCommandCutsToCapacityAndReportsTheRealLength) {
  std::vector<uint8_t> payload(500);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = uint8_t(i + 1);
  AnswerWith(MakeReply(2, 4, 0, 7, payload));
  uint8_t out[120];
  std::memset(out, 0xFF, sizeof out);
  int32_t length = 100;
  EXPECT_EQ(GetCommand(conn, session, 2, 4, out, length), 0u);
  Join();
  EXPECT_EQ(length, 500);
  EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + 100, out));
  EXPECT_EQ(out[100], 0xFF);  // nothing past the capacity
  // The request is exactly the 20-byte header with class 2, code 4.
  ASSERT_EQ(request.size(), 20u);
  EXPECT_EQ(request[12], 2);
  EXPECT_EQ(request[14], 4);
}

TEST_F(TransactionTest, GetCommandWithoutPayloadReportsZero) {
  AnswerWith(MakeReply(2, 4, 0, 7));
  uint8_t out[64];
  std::memset(out, 0xFF, sizeof out);
  int32_t length = 64;
  EXPECT_EQ(GetCommand(conn, session, 2, 4, out, length), 0u);
  Join();
  EXPECT_EQ(length, 0);
  for (uint8_t b : out) EXPECT_EQ(b, 0);
}

TEST_F(TransactionTest, FailedGetCommandLeavesTheBufferAlone) {
  AnswerWith(MakeReply(2, 4, 3, 7));
  uint8_t out[8];
  std::memset(out, 0xFF, sizeof out);
  int32_t length = 8;
  EXPECT_EQ(GetCommand(conn, session, 2, 4, out, length), 3u);
  Join();
  EXPECT_EQ(length, 0);
  EXPECT_EQ(out[0], 0xFF);
}

TEST_F(TransactionTest, SplitReplyWithAPauseIsJoined) {
  std::thread responder2([this] {
    auto req = peer.Read(20);
    auto reply = MakeReply(7, 1, 0, 7, std::vector<uint8_t>(300, 0x33));
    peer.Write({reply.begin(), reply.begin() + 10});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    peer.Write({reply.begin() + 10, reply.end()});
  });
  uint8_t out[400] = {};
  int32_t length = 400;
  EXPECT_EQ(GetCommand(conn, session, 7, 1, out, length), 0u);
  responder2.join();
  EXPECT_EQ(length, 300);
  EXPECT_EQ(out[299], 0x33);
}

// Replies to earlier calls that gave up arrive after this call's request:
// they are dropped, and the call takes its own reply; with none, it ends
// within its time-out.
TEST_F(TransactionTest, LateRepliesToEarlierCallsAreDropped) {
  responder = std::thread([this] {
    peer.Read(20);
    peer.Write(MakeReply(2, 13, 0x77, 99));        // another code
    peer.Write(MakeReply(2, 1, 0, 7));             // the keep-alive's
    peer.Write(MakeReply(3, 4, 0, 7, {9, 9}));     // another class
    peer.Write(MakeReply(2, 4, 0, 7, {1, 2, 3}));  // its own
    peer.Read(20);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.Write(MakeReply(2, 4, 0, 7, {4}));
  });
  uint8_t out[8] = {};
  int32_t length = 8;
  EXPECT_EQ(GetCommand(conn, session, 2, 4, out, length), 0u);
  EXPECT_EQ(length, 3);
  EXPECT_EQ(out[2], 3);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Transact(conn, session, {.commandClass = 2, .commandCode = 5, .timeoutMs = 1000}),
            QNVNET_ERR_NO_REPLY);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2900));
  Join();
}

// A device that accepts the connection but never reads: once the socket
// buffers are full a send gives up within the call's time-out, fails the call
// with -21 and reports the disconnect once.
TEST(TransactionSend, PeerThatNeverReadsFailsTheSendInTime) {
  LoopbackPeer peer;
  CTcpClient conn;
  struct SDisconnects final : ICommandSink {
    std::atomic<int> count{0};
    void DeviceMessage(const uint8_t*, int32_t) override {}
    void Disconnected() override { ++count; }
  } disconnects;
  ASSERT_TRUE(conn.Connect("127.0.0.1", peer.Port(), &disconnects));
  ASSERT_TRUE(peer.Accept());
  int small = 4096;
  setsockopt(conn.Socket(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  std::vector<uint8_t> payload(kMaxTransactPayload, 0x42);
  uint32_t session = 7, rc = 0;
  for (int i = 0; i < 20000 && rc != QNVNET_ERR_SEND; ++i) {
    const auto start = std::chrono::steady_clock::now();
    rc = Transact(conn, session,
                  {.commandClass = 2,
                   .commandCode = 3,
                   .payload = payload.data(),
                   .payloadLength = int32_t(payload.size()),
                   .timeoutMs = 500});
    ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  }
  EXPECT_EQ(rc, QNVNET_ERR_SEND);
  EXPECT_EQ(disconnects.count.load(), 1);
  conn.Close();
}

}  // namespace
}  // namespace qnv
