#include "devsim/WireFormat.h"

#include <algorithm>
#include <cstring>

namespace qnv::devsim::wire {

std::array<uint8_t, kPrefixSize> EncodePrefix(uint32_t length) {
  std::array<uint8_t, kPrefixSize> p{};
  p[0] = static_cast<uint8_t>(length >> 16);
  p[1] = static_cast<uint8_t>(length >> 8);
  p[2] = static_cast<uint8_t>(length);
  p[3] = static_cast<uint8_t>(p[0] ^ p[1] ^ p[2]);
  return p;
}

std::optional<uint32_t> DecodePrefix(const uint8_t* prefix) {
  if (static_cast<uint8_t>(prefix[0] ^ prefix[1] ^ prefix[2]) != prefix[3]) return std::nullopt;
  return (static_cast<uint32_t>(prefix[0]) << 16) | (static_cast<uint32_t>(prefix[1]) << 8) |
         prefix[2];
}

std::optional<Request> ParseRequest(std::span<const uint8_t> message) {
  if (message.size() < kRequestHeaderSize) return std::nullopt;
  const uint8_t* m = message.data();
  Request r;
  r.headerWord = GetU32(m + kHeaderWordOffset);
  std::memcpy(r.magic.data(), m + kMagicOffset, r.magic.size());
  r.cls = GetU16(m + kClassOffset);
  r.code = GetU16(m + kCodeOffset);
  r.sessionId = GetU32(m + kRequestSessionOffset);
  r.payload = message.subspan(kRequestPayloadOffset);
  return r;
}

std::vector<uint8_t> EncodeRequest(uint32_t headerWord, uint16_t cls, uint16_t code,
                                   uint32_t sessionId, std::span<const uint8_t> payload) {
  std::vector<uint8_t> m(kRequestHeaderSize + payload.size());
  auto prefix = EncodePrefix(static_cast<uint32_t>(m.size()));
  std::memcpy(m.data(), prefix.data(), prefix.size());
  PutU32(m.data() + kHeaderWordOffset, headerWord);
  std::memcpy(m.data() + kMagicOffset, kMagic.data(), kMagic.size());
  PutU16(m.data() + kClassOffset, cls);
  PutU16(m.data() + kCodeOffset, code);
  PutU32(m.data() + kRequestSessionOffset, sessionId);
  if (!payload.empty())
    std::memcpy(m.data() + kRequestPayloadOffset, payload.data(), payload.size());
  return m;
}

std::vector<uint8_t> EncodeReply(uint16_t cls, uint16_t code, uint32_t result, uint32_t sessionId,
                                 std::span<const uint8_t> payload) {
  const size_t n = std::min(payload.size(), kMaxReplyPayload);
  std::vector<uint8_t> m(kReplyHeaderSize + n);
  auto prefix = EncodePrefix(static_cast<uint32_t>(m.size()));
  std::memcpy(m.data(), prefix.data(), prefix.size());
  PutU32(m.data() + kHeaderWordOffset, kTransactionHeaderWord);
  std::memcpy(m.data() + kMagicOffset, kMagic.data(), kMagic.size());
  PutU16(m.data() + kClassOffset, cls);
  PutU16(m.data() + kCodeOffset, code);
  PutU32(m.data() + kReplyResultOffset, result);
  PutU32(m.data() + kReplySessionOffset, sessionId);
  if (n > 0) std::memcpy(m.data() + kReplyPayloadOffset, payload.data(), n);
  return m;
}

std::array<uint8_t, kFrameHeaderSize> EncodeFrameHeader(const FrameHeader& header) {
  std::array<uint8_t, kFrameHeaderSize> h{};
  PutU32(h.data() + kFrameCounterOffset, header.counter);
  std::memcpy(h.data() + kFrameMagicOffset, kMagic.data(), kMagic.size());
  PutU32(h.data() + kFrameStreamIdOffset, header.streamId);
  PutU32(h.data() + kFramePayloadLengthOffset, header.payloadLength);
  PutU64(h.data() + kFrameCaptureTimeOffset, header.captureTimeUs);
  h[kFrameExtFlagOffset] = header.extFlag ? 1 : 0;
  return h;
}

}  // namespace qnv::devsim::wire
