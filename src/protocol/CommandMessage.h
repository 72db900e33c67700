// The command message: a 4-byte length prefix, a 20-byte header naming the
// command by class and code, and the payload. Requests and replies share the
// prefix but differ after byte 16: a request carries the session id there, a
// reply its result and then the session id. All header numbers other than the
// prefix are little-endian.
//
// Request: 0 prefix | 4 headerWord | 8 "QNVV" | 12 class | 14 code |
//          16 sessionId | 20 payload
// Reply:   0 prefix | 4 headerWord | 8 "QNVV" | 12 class | 14 code |
//          16 result | 20 sessionId | 24 payload
// Prefix:  bytes 0..2 the whole message length L (24-bit big-endian, prefix
//          included), byte 3 the XOR of bytes 0..2.
// The command classes and codes are in Commands.h.
#ifndef QNV_PROTOCOL_COMMANDMESSAGE_H
#define QNV_PROTOCOL_COMMANDMESSAGE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/ByteOrder.h"

namespace qnv::protocol {

constexpr size_t kPrefixSize = 4;
constexpr size_t kRequestHeaderSize = 20;  // prefix included
constexpr size_t kReplyHeaderSize = 24;
constexpr size_t kReqHeaderWordOffset = 4;
constexpr size_t kReqMagicOffset = 8;
constexpr size_t kReqClassOffset = 12;
constexpr size_t kReqCodeOffset = 14;
constexpr size_t kReqSessionOffset = 16;
constexpr size_t kReqPayloadOffset = 20;
constexpr size_t kRepClassOffset = 12;
constexpr size_t kRepCodeOffset = 14;
constexpr size_t kRepResultOffset = 16;
constexpr size_t kRepSessionOffset = 20;
constexpr size_t kRepPayloadOffset = 24;
constexpr uint32_t kMinReplyLength = 16;  // shorter replies are no reply

constexpr uint8_t kHeaderWordTransaction[4] = {0x01, 0x00, 0x00, 0x00};
constexpr uint8_t kHeaderWordOneWay[4] = {0x00, 0x01, 0x00, 0x01};
constexpr char kCommandMagic[4] = {'Q', 'N', 'V', 'V'};

// Working areas: a transaction builds its request in and reads its reply into
// one 4,096-byte area; a one-way message is built in 1,024 bytes.
constexpr size_t kTransactArea = 4096;
constexpr size_t kOneWayArea = 1024;
constexpr int32_t kMaxTransactPayload = int32_t(kTransactArea - kRequestHeaderSize);  // 4,076
constexpr int32_t kMaxOneWayPayload = int32_t(kOneWayArea - kRequestHeaderSize);      // 1,004
constexpr int32_t kMaxMessageLength = 65536;

static_assert(kReqPayloadOffset == kRequestHeaderSize);
static_assert(kRepPayloadOffset == kReplyHeaderSize);
static_assert(kMaxTransactPayload == 4076 && kMaxOneWayPayload == 1004);
static_assert(kReqHeaderWordOffset == kPrefixSize && kReqMagicOffset == kReqHeaderWordOffset + 4 &&
              kReqClassOffset == kReqMagicOffset + 4 && kReqCodeOffset == kReqClassOffset + 2 &&
              kReqSessionOffset == kReqCodeOffset + 2 &&
              kReqPayloadOffset == kReqSessionOffset + 4);
static_assert(kRepClassOffset == kReqClassOffset && kRepCodeOffset == kReqCodeOffset &&
              kRepSessionOffset == kRepResultOffset + 4 &&
              kRepPayloadOffset == kRepSessionOffset + 4);

// Device message: an unsolicited block a device sends on the command
// connection (an analytics event), never a reply:
//   0 "VvEe" | 4 "MmSs" | 8 B, 32-bit little-endian, the whole block's length
//   (48 <= B <= 4,096) | 12 B - 12 device-defined bytes.
// The host's message callback gets the block from byte 8 on (B - 8 bytes).
// Read as a length prefix, "VvEe" has a valid check byte but declares more
// than any command message may be, so the two never collide.
constexpr uint8_t kDeviceMessageTag[8] = {'V', 'v', 'E', 'e', 'M', 'm', 'S', 's'};
constexpr size_t kDeviceMessageLengthOffset = 8;
constexpr size_t kDeviceMessageHeaderSize = 12;
constexpr size_t kDeviceMessageDeliveredOffset = 8;
constexpr uint32_t kDeviceMessageMinLength = 48;
constexpr uint32_t kDeviceMessageMaxLength = 4096;
static_assert(kDeviceMessageLengthOffset + 4 == kDeviceMessageHeaderSize);
static_assert(kDeviceMessageHeaderSize <= kDeviceMessageMinLength);
static_assert((kDeviceMessageTag[0] ^ kDeviceMessageTag[1] ^ kDeviceMessageTag[2]) ==
              kDeviceMessageTag[3]);
static_assert((uint32_t(kDeviceMessageTag[0]) << 16 | uint32_t(kDeviceMessageTag[1]) << 8 |
               uint32_t(kDeviceMessageTag[2])) > uint32_t(kMaxMessageLength));

inline void EncodeLengthPrefix(uint8_t* p, uint32_t length) {
  p[0] = uint8_t(length >> 16);
  p[1] = uint8_t(length >> 8);
  p[2] = uint8_t(length);
  p[3] = uint8_t(p[0] ^ p[1] ^ p[2]);
}

// The declared length, or -1 when the check byte does not match.
inline int32_t DecodeLengthPrefix(const uint8_t* p) {
  if (uint8_t(p[0] ^ p[1] ^ p[2]) != p[3]) return -1;
  return int32_t(uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | uint32_t(p[2]));
}

// The length of the message whose prefix is at p (4 to kMaxMessageLength),
// or -1 when the prefix frames no message.
inline int32_t DecodeMessageLength(const uint8_t* p) {
  const int32_t length = DecodeLengthPrefix(p);
  return length >= int32_t(kPrefixSize) && length <= kMaxMessageLength ? length : -1;
}

// Whether the 4 bytes at p begin a device message rather than a command message.
inline bool StartsDeviceMessage(const uint8_t* p) {
  return std::memcmp(p, kDeviceMessageTag, kPrefixSize) == 0;
}

// The whole block length of the device message whose 12-byte header is at
// header, or 0 when it is no valid one (another tag, or a length outside
// kDeviceMessageMinLength..kDeviceMessageMaxLength).
inline uint32_t DecodeDeviceMessageLength(const uint8_t* header) {
  if (std::memcmp(header, kDeviceMessageTag, sizeof kDeviceMessageTag) != 0) return 0;
  const uint32_t length = platform::LoadLe32(header + kDeviceMessageLengthOffset);
  return length >= kDeviceMessageMinLength && length <= kDeviceMessageMaxLength ? length : 0;
}

// Writes a request into area (at least 20 + payloadLength bytes) and returns
// its length, payloadLength + 20.
uint32_t EncodeRequest(uint8_t* area, bool oneWay, uint16_t commandClass, uint16_t commandCode,
                       uint32_t sessionId, const void* payload, int32_t payloadLength);

// The fields of a received reply. Fields beyond the received length read as
// zero, as the reply area is cleared before every read.
struct ReplyView {
  uint16_t commandClass;
  uint16_t commandCode;
  uint32_t result;
  uint32_t sessionId;
  int32_t payloadLength;  // received length - 24; negative for replies of 16..23 bytes
  const uint8_t* payload;
};
ReplyView DecodeReply(const uint8_t* area, int32_t length);

}  // namespace qnv::protocol

#endif  // QNV_PROTOCOL_COMMANDMESSAGE_H
