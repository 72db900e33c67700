// The 40-byte frame record of a recording's index file. A recording is a data
// file holding frame bodies back to back and an index file holding one record
// per body, in the same order; the record is the frame's stream header with
// bytes 28..31 replaced by the body's offset in the data file. All multi-byte
// fields are little-endian.
//
//   0..3   frame counter (not interpreted)
//   4..7   magic "QNVV"
//   12..15 payloadLength: H.264 bytes in the body, after any extension block
//   16..23 capture time in microseconds (as devices send it; may be absent)
//   28..31 offset of the body in the data file
//   35     frameKind: 1 key frame (I slice), 2 P slice, 0 other
//   36     extFlag: nonzero when the body starts with an extension block,
//          a 32-bit length N followed by N bytes
#ifndef QNVRECORDING_SINDEXRECORD_H
#define QNVRECORDING_SINDEXRECORD_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qnvrec {

constexpr size_t kRecordSize = 40;
constexpr size_t kMagicOffset = 4;
constexpr size_t kCounterOffset = 0;
constexpr size_t kPayloadLengthOffset = 12;
constexpr size_t kStampOffset = 16;
constexpr size_t kOffsetOffset = 28;
constexpr size_t kFrameKindOffset = 35;
constexpr size_t kExtFlagOffset = 36;
constexpr size_t kExtLengthSize = 4;
constexpr char kMagic[4] = {'Q', 'N', 'V', 'V'};
constexpr uint8_t kFrameKindKey = 1;
// The library records stream frames (header, extension block and payload) of
// at most 16 MiB; a longer body means a damaged index.
constexpr uint64_t kMaxFrameSize = 16u << 20;

inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint64_t Le64(const uint8_t* p) { return uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32; }
inline void PutLe32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

struct SIndexRecord {
  uint8_t bytes[kRecordSize];

  bool HasMagic() const { return std::memcmp(bytes + kMagicOffset, kMagic, sizeof kMagic) == 0; }
  uint32_t PayloadLength() const { return Le32(bytes + kPayloadLengthOffset); }
  uint32_t Offset() const { return Le32(bytes + kOffsetOffset); }
  uint8_t FrameKind() const { return bytes[kFrameKindOffset]; }
  bool HasExtension() const { return bytes[kExtFlagOffset] != 0; }
};
static_assert(sizeof(SIndexRecord) == kRecordSize, "an index record is 40 bytes");
static_assert(kOffsetOffset + 4 <= kFrameKindOffset && kFrameKindOffset < kExtFlagOffset &&
                  kExtFlagOffset < kRecordSize,
              "fields lie inside the record without overlap");

}  // namespace qnvrec

#endif  // QNVRECORDING_SINDEXRECORD_H
