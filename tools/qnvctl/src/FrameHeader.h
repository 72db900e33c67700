// The 40-byte header in front of every live frame the SDK hands to the stream
// callback (header, optional extension block, H.264 payload), as far as this
// tool reads it. All numbers are little-endian.
//
//   0..3   the device's frame counter (0, 1, 2, ... per stream)
//   4..7   "QNVV"
//   12..15 payload length
//   35     frame kind, written by the SDK: 1 key frame (I slice), 2 P slice, 0 other
//   36     extension flag: nonzero when a block (u32 N, then N bytes) follows the header
// After the header (and extension block) comes one H.264 NAL unit with its start code.
#ifndef QNVCTL_FRAMEHEADER_H
#define QNVCTL_FRAMEHEADER_H

#include <cstddef>
#include <cstdint>

namespace qnvctl {

constexpr size_t kFrameHeaderSize = 40;
constexpr size_t kFrameCounterOffset = 0;
constexpr size_t kFramePayloadLengthOffset = 12;
constexpr size_t kFrameKindOffset = 35;
constexpr uint8_t kFrameKindKey = 1;
constexpr size_t kFrameExtFlagOffset = 36;
constexpr size_t kFrameExtLengthSize = 4;

static_assert(kFrameCounterOffset + 4 <= kFramePayloadLengthOffset);
static_assert(kFramePayloadLengthOffset + 4 <= kFrameKindOffset);
static_assert(kFrameKindOffset < kFrameExtFlagOffset && kFrameExtFlagOffset < kFrameHeaderSize);

// Reads a little-endian 32-bit number.
inline uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The NAL unit type of the frame's payload, or -1 when the frame is too short
// or the payload does not start with a start code.
inline int FrameNalType(const uint8_t* frame, size_t length) {
  size_t at = kFrameHeaderSize;
  if (length < at) return -1;
  if (frame[kFrameExtFlagOffset] != 0) {
    if (length < at + kFrameExtLengthSize) return -1;
    at += kFrameExtLengthSize + ReadLe32(frame + at);
  }
  // 00 00 01 or 00 00 00 01, then the NAL unit header.
  if (at + 4 <= length && frame[at] == 0 && frame[at + 1] == 0 && frame[at + 2] == 1)
    return frame[at + 3] & 0x1F;
  if (at + 5 <= length && frame[at] == 0 && frame[at + 1] == 0 && frame[at + 2] == 0 &&
      frame[at + 3] == 1)
    return frame[at + 4] & 0x1F;
  return -1;
}

// A key frame: the SDK marks it with kind 1. The SDK's mark comes from the
// first bits after the NAL unit header, read as a slice header whatever the
// unit is, so a parameter set can carry the mark too; only slices (NAL types
// 1 to 5) count as key frames here.
inline bool IsKeyFrame(const uint8_t* frame, size_t length) {
  if (length < kFrameHeaderSize || frame[kFrameKindOffset] != kFrameKindKey) return false;
  const int type = FrameNalType(frame, length);
  return type >= 1 && type <= 5;
}

// The frame holds the first slice of a picture: a slice (NAL types 1 to 5)
// whose first_mb_in_slice is 0, which as an Exp-Golomb code is a single 1
// bit right after the NAL unit header. Parameter sets, SEI and the further
// slices of a picture are not pictures, so this counts what a player shows.
inline bool StartsPicture(const uint8_t* frame, size_t length) {
  const int type = FrameNalType(frame, length);
  if (type < 1 || type > 5) return false;
  size_t at = kFrameHeaderSize;
  if (frame[kFrameExtFlagOffset] != 0) at += kFrameExtLengthSize + ReadLe32(frame + at);
  // Past the start code (3 or 4 bytes) and the NAL unit header.
  at += frame[at + 2] == 1 ? 4 : 5;
  return at < length && (frame[at] & 0x80) != 0;
}

}  // namespace qnvctl

#endif  // QNVCTL_FRAMEHEADER_H
