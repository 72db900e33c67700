// Reading the frames the SDK hands to the stream callback: the 40-byte header
// laid out in QNVNetSdk.h (QNVNetFrameHeader), an optional extension block and
// one H.264 NAL unit with its start code.
#ifndef QNVCTL_FRAMEHEADER_H
#define QNVCTL_FRAMEHEADER_H

#include <cstddef>
#include <cstdint>

#include "QNVNetSdk.h"

namespace qnvctl {

using FrameHeader = QNVNetFrameHeader;

// Reads a little-endian 32-bit number.
inline uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The NAL unit type of the frame's payload, or -1 when the frame is too short
// or the payload does not start with a start code.
inline int FrameNalType(const uint8_t* frame, size_t length) {
  size_t at = FrameHeader::kSize;
  if (length < at) return -1;
  if (frame[FrameHeader::kExtFlagOffset] != 0) {
    if (length < at + FrameHeader::kExtLengthSize) return -1;
    at += FrameHeader::kExtLengthSize + ReadLe32(frame + at);
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
  if (length < FrameHeader::kSize || frame[FrameHeader::kKindOffset] != FrameHeader::kKindKey)
    return false;
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
  size_t at = FrameHeader::kSize;
  if (frame[FrameHeader::kExtFlagOffset] != 0)
    at += FrameHeader::kExtLengthSize + ReadLe32(frame + at);
  // Past the start code (3 or 4 bytes) and the NAL unit header.
  at += frame[at + 2] == 1 ? 4 : 5;
  return at < length && (frame[at] & 0x80) != 0;
}

}  // namespace qnvctl

#endif  // QNVCTL_FRAMEHEADER_H
