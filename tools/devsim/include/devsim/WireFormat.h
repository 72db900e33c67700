// Byte layouts the simulated device speaks: command messages (requests it receives, replies
// it sends), the login payload, the firmware chunk record and the stream frame header.
// Written from the device's point of view and independently of the SDK, so that tests
// comparing the two catch mistakes on either side.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qnv::devsim::wire {

// ---- Little-endian helpers -------------------------------------------------------------
inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t GetU64(const uint8_t* p) {
  return static_cast<uint64_t>(GetU32(p)) | (static_cast<uint64_t>(GetU32(p + 4)) << 32);
}

// ---- Length prefix ---------------------------------------------------------------------
// Bytes 0..2: the message's total length (prefix included), 24-bit big-endian; byte 3: the
// XOR of bytes 0..2.
inline constexpr size_t kPrefixSize = 4;
inline constexpr uint32_t kMaxPrefixLength = 0xFFFFFF;
std::array<uint8_t, kPrefixSize> EncodePrefix(uint32_t length);
// The length, or nothing when the check byte does not match.
std::optional<uint32_t> DecodePrefix(const uint8_t* prefix);

// ---- Common header ---------------------------------------------------------------------
inline constexpr size_t kHeaderWordOffset = 4;
inline constexpr size_t kMagicOffset = 8;
inline constexpr size_t kClassOffset = 12;
inline constexpr size_t kCodeOffset = 14;
inline constexpr std::array<uint8_t, 4> kMagic = {'Q', 'N', 'V', 'V'};
inline constexpr uint32_t kTransactionHeaderWord = 0x00000001;  // bytes 01 00 00 00
inline constexpr uint32_t kOneWayHeaderWord = 0x01000100;       // bytes 00 01 00 01

// ---- Request (host -> device) ----------------------------------------------------------
inline constexpr size_t kRequestSessionOffset = 16;
inline constexpr size_t kRequestPayloadOffset = 20;
inline constexpr size_t kRequestHeaderSize = kRequestPayloadOffset;
// Longest request the device reads; the host's working areas never produce more than
// 4,096 bytes, so anything far beyond is a broken peer.
inline constexpr uint32_t kMaxRequestLength = 65536;
static_assert(kClassOffset + 2 == kCodeOffset && kCodeOffset + 2 == kRequestSessionOffset);
static_assert(kRequestSessionOffset + 4 == kRequestPayloadOffset);

struct Request {
  uint32_t headerWord = 0;
  std::array<uint8_t, 4> magic{};
  uint16_t cls = 0, code = 0;
  uint32_t sessionId = 0;
  std::span<const uint8_t> payload;
};
// Parses a whole request message (prefix included, length already checked by the caller).
// Nothing when it is shorter than the header.
std::optional<Request> ParseRequest(std::span<const uint8_t> message);
std::vector<uint8_t> EncodeRequest(uint32_t headerWord, uint16_t cls, uint16_t code,
                                   uint32_t sessionId, std::span<const uint8_t> payload);

// ---- Reply (device -> host) ------------------------------------------------------------
// Same prefix, header word, magic, class and code as a request, then the result and the
// session id: the reply's payload starts 4 bytes later than a request's.
inline constexpr size_t kReplyResultOffset = 16;
inline constexpr size_t kReplySessionOffset = 20;
inline constexpr size_t kReplyPayloadOffset = 24;
inline constexpr size_t kReplyHeaderSize = kReplyPayloadOffset;
// The host reads a reply into a cleared 4,096-byte area.
inline constexpr size_t kMaxReplyLength = 4096;
inline constexpr size_t kMaxReplyPayload = kMaxReplyLength - kReplyHeaderSize;
static_assert(kReplyResultOffset + 4 == kReplySessionOffset);
static_assert(kReplySessionOffset + 4 == kReplyPayloadOffset);
static_assert(kMaxReplyPayload == 4072);

// A reply with header word 1. The payload is cut to kMaxReplyPayload.
std::vector<uint8_t> EncodeReply(uint16_t cls, uint16_t code, uint32_t result, uint32_t sessionId,
                                 std::span<const uint8_t> payload);

// ---- Command classes, and the codes that more than one side names ------------------------
inline constexpr uint16_t kClassLogin = 1;
inline constexpr uint16_t kClassSystem = 2;
inline constexpr uint16_t kClassLive = 3;
inline constexpr uint16_t kClassRules = 4;
inline constexpr uint16_t kClassPtz = 5;
inline constexpr uint16_t kClassAlgorithm = 7;
inline constexpr uint16_t kCodeKeepAlive = 1;   // class 2
inline constexpr uint16_t kCodeOpenStream = 1;  // class 3; reply: u32 stream id
inline constexpr uint16_t kCodeAttach = 5;      // class 3, one-way on the stream connection

// ---- Login payload ---------------------------------------------------------------------
// User name and password, each in a 16-byte zero-padded field; a 16-character text fills
// its field and has no terminating zero.
inline constexpr size_t kLoginFieldSize = 16;
inline constexpr size_t kLoginUserOffset = 0;
inline constexpr size_t kLoginPasswordOffset = 16;
inline constexpr size_t kLoginPayloadSize = 32;
static_assert(kLoginPasswordOffset + kLoginFieldSize == kLoginPayloadSize);

// ---- Firmware chunk record (class 2 code 5 payload), all u32 LE ------------------------
inline constexpr size_t kChunkTotalSizeOffset = 0;
inline constexpr size_t kChunkCountOffset = 4;
inline constexpr size_t kChunkNumberOffset = 8;
inline constexpr size_t kChunkLengthOffset = 12;
inline constexpr size_t kChunkDataOffset = 16;
inline constexpr size_t kChunkDataSize = 3072;
inline constexpr size_t kChunkRecordSize = kChunkDataOffset + kChunkDataSize;
static_assert(kChunkRecordSize == 3088);

// ---- Stream frame header (40 bytes), LE ------------------------------------------------
inline constexpr size_t kFrameHeaderSize = 40;
inline constexpr size_t kFrameCounterOffset = 0;
inline constexpr size_t kFrameMagicOffset = 4;
inline constexpr size_t kFrameStreamIdOffset = 8;
inline constexpr size_t kFramePayloadLengthOffset = 12;
inline constexpr size_t kFrameCaptureTimeOffset = 16;
inline constexpr size_t kFrameKindOffset = 35;  // the host's; the device leaves it 0
inline constexpr size_t kFrameExtFlagOffset = 36;
inline constexpr size_t kFrameExtLengthSize = 4;  // u32 N, then N bytes
static_assert(kFrameCaptureTimeOffset + 8 <= kFrameKindOffset);
static_assert(kFrameExtFlagOffset < kFrameHeaderSize);

struct FrameHeader {
  uint32_t counter = 0;
  uint32_t streamId = 0;
  uint32_t payloadLength = 0;
  uint64_t captureTimeUs = 0;
  bool extFlag = false;
};
std::array<uint8_t, kFrameHeaderSize> EncodeFrameHeader(const FrameHeader& header);

}  // namespace qnv::devsim::wire
