// The simulator's encoder and decoder against known message bytes.
#include <gtest/gtest.h>

#include "TestClient.h"
#include "devsim/WireFormat.h"

namespace qnv::devsim {
namespace {

using test::Bytes;

TEST(DevsimWireFormat, KnownRequestsAndPrefixes) {
  // Keep-alive of session 7.
  const Bytes keepAlive = {0x00, 0x00, 0x14, 0x14, 0x01, 0x00, 0x00, 0x00, 'Q',  'N',
                           'V',  'V',  0x02, 0x00, 0x01, 0x00, 0x07, 0x00, 0x00, 0x00};
  EXPECT_EQ(wire::EncodeRequest(wire::kTransactionHeaderWord, 2, 1, 7, {}), keepAlive);
  EXPECT_EQ(test::BuildRequest(test::kTransactionWord, 2, 1, 7), keepAlive);

  // One-way attach of stream 9 for session 7.
  const Bytes attach = {0x00, 0x00, 0x18, 0x18, 0x00, 0x01, 0x00, 0x01, 'Q',  'N',  'V',  'V',
                        0x03, 0x00, 0x05, 0x00, 0x07, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00};
  const Bytes nine = test::U32s({9});
  EXPECT_EQ(wire::EncodeRequest(wire::kOneWayHeaderWord, 3, 5, 7, nine), attach);
  auto parsed = wire::ParseRequest(attach);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->headerWord, wire::kOneWayHeaderWord);
  EXPECT_EQ(parsed->cls, 3);
  EXPECT_EQ(parsed->code, 5);
  EXPECT_EQ(parsed->sessionId, 7u);
  EXPECT_EQ(Bytes(parsed->payload.begin(), parsed->payload.end()), nine);

  EXPECT_EQ(wire::EncodePrefix(20), (std::array<uint8_t, 4>{0x00, 0x00, 0x14, 0x14}));
  EXPECT_EQ(wire::EncodePrefix(52), (std::array<uint8_t, 4>{0x00, 0x00, 0x34, 0x34}));
  EXPECT_EQ(wire::EncodePrefix(3108), (std::array<uint8_t, 4>{0x00, 0x0C, 0x24, 0x28}));
  const uint8_t good[] = {0x00, 0x0C, 0x24, 0x28};
  const uint8_t bad[] = {0x00, 0x0C, 0x24, 0x29};
  EXPECT_EQ(wire::DecodePrefix(good), 3108u);
  EXPECT_FALSE(wire::DecodePrefix(bad));
  EXPECT_FALSE(wire::ParseRequest(Bytes(19, 0)));
}

TEST(DevsimWireFormat, ReplyLayoutAndCap) {
  const Bytes payload = {0xAA, 0xBB};
  const Bytes reply = wire::EncodeReply(2, 33, 5, 0x11223344, payload);
  const Bytes expected = {0x00, 0x00, 0x1A, 0x1A, 0x01, 0x00, 0x00, 0x00, 'Q',
                          'N',  'V',  'V',  0x02, 0x00, 0x21, 0x00, 0x05, 0x00,
                          0x00, 0x00, 0x44, 0x33, 0x22, 0x11, 0xAA, 0xBB};
  EXPECT_EQ(reply, expected);
  // Replies never exceed the host's 4,096-byte area.
  EXPECT_EQ(wire::EncodeReply(2, 33, 0, 1, Bytes(10000, 1)).size(), 4096u);
}

}  // namespace
}  // namespace qnv::devsim
