// Request encoding against the protocol's example messages, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "protocol/CommandMessage.h"

namespace qnv {

using namespace protocol;
namespace {

std::vector<uint8_t> Encode(bool oneWay, uint16_t cls, uint16_t code, uint32_t session,
                            const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> area(kTransactArea, 0xEE);
  uint32_t n = EncodeRequest(area.data(), oneWay, cls, code, session, payload.data(),
                             int32_t(payload.size()));
  area.resize(n);
  return area;
}

TEST(CommandMessage, EmptyRequestIsTwentyBytes) {
  auto m = Encode(false, 3, 1, 0, {});
  ASSERT_EQ(m.size(), 20u);
  EXPECT_EQ(m[0], 0x00);
  EXPECT_EQ(m[1], 0x00);
  EXPECT_EQ(m[2], 0x14);
  EXPECT_EQ(m[3], 0x14);
}

TEST(CommandMessage, KeepAliveOfSessionSeven) {
  std::vector<uint8_t> expected = {0x00, 0x00, 0x14, 0x14, 0x01, 0x00, 0x00, 0x00, 'Q',  'N',
                                   'V',  'V',  0x02, 0x00, 0x01, 0x00, 0x07, 0x00, 0x00, 0x00};
  EXPECT_EQ(Encode(false, 2, 1, 7, {}), expected);
}

TEST(CommandMessage, OneWayAttach) {
  std::vector<uint8_t> expected = {0x00, 0x00, 0x18, 0x18, 0x00, 0x01, 0x00, 0x01,
                                   'Q',  'N',  'V',  'V',  0x03, 0x00, 0x05, 0x00,
                                   0x07, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00};
  EXPECT_EQ(Encode(true, 3, 5, 7, {9, 0, 0, 0}), expected);
}

TEST(CommandMessage, PrefixesOfLongerPayloads) {
  auto m32 = Encode(false, 1, 1, 0, std::vector<uint8_t>(32));
  EXPECT_EQ(m32.size(), 52u);
  EXPECT_EQ((std::vector<uint8_t>{m32[0], m32[1], m32[2], m32[3]}),
            (std::vector<uint8_t>{0x00, 0x00, 0x34, 0x34}));
  auto m3088 = Encode(false, 2, 5, 0, std::vector<uint8_t>(3088));
  EXPECT_EQ(m3088.size(), 3108u);
  EXPECT_EQ((std::vector<uint8_t>{m3088[0], m3088[1], m3088[2], m3088[3]}),
            (std::vector<uint8_t>{0x00, 0x0C, 0x24, 0x28}));
}

TEST(CommandMessage, PrefixDecoding) {
  uint8_t good[4] = {0x00, 0x0C, 0x24, 0x28};
  EXPECT_EQ(DecodeLengthPrefix(good), 3108);
  uint8_t badCheck[4] = {0x00, 0x0C, 0x24, 0x29};
  EXPECT_EQ(DecodeLengthPrefix(badCheck), -1);
  uint8_t max[4];
  EncodeLengthPrefix(max, 65536);
  EXPECT_EQ(DecodeLengthPrefix(max), 65536);
}

// The framing both readers of the command connection go by: a message of 4
// to 65,536 bytes, or a device block of 48 to 4,096 behind its tag.
TEST(CommandMessage, MessageAndDeviceBlockLengths) {
  uint8_t prefix[4];
  for (uint32_t length : {3u, 4u, 65536u, 65537u}) {
    EncodeLengthPrefix(prefix, length);
    EXPECT_EQ(DecodeMessageLength(prefix), length >= 4 && length <= 65536 ? int32_t(length) : -1)
        << length;
  }
  uint8_t header[kDeviceMessageHeaderSize];
  std::memcpy(header, kDeviceMessageTag, sizeof kDeviceMessageTag);
  EXPECT_TRUE(StartsDeviceMessage(header));
  EXPECT_EQ(DecodeMessageLength(header), -1);  // never read as a command message
  for (uint32_t length : {47u, 48u, 4096u, 4097u}) {
    platform::StoreLe32(header + kDeviceMessageLengthOffset, length);
    EXPECT_EQ(DecodeDeviceMessageLength(header), length >= 48 && length <= 4096 ? length : 0u)
        << length;
  }
  header[5] = 'x';  // "VvEe" begins it, but the rest of the tag is wrong
  EXPECT_TRUE(StartsDeviceMessage(header));
  EXPECT_EQ(DecodeDeviceMessageLength(header), 0u);
}

TEST(CommandMessage, ReplyFieldsBeyondShortReplyReadZero) {
  uint8_t area[kTransactArea] = {};
  EncodeLengthPrefix(area, 16);
  area[12] = 2;
  ReplyView v = DecodeReply(area, 16);
  EXPECT_EQ(v.result, 0u);
  EXPECT_EQ(v.sessionId, 0u);
  EXPECT_LT(v.payloadLength, 0);
}

}  // namespace
}  // namespace qnv
