// SFrameIndex: the 40-byte stream frame header. It is also the frame record
// of the pre-record queue and of recording index files, so this is its one
// definition. All multi-byte fields are little-endian on the wire and on disk.
//
//   0..3   not interpreted (the device's frame counter)
//   4..7   magic "QNVV"
//   8..11  not interpreted
//   12..15 payloadLength
//   16..27 not interpreted (the device's capture time at 16..23)
//   28..31 offset: rewritten to a data offset in stored records
//   32..34 not interpreted
//   35     frameKind: 1 I slice (key frame), 2 P slice, 0 other
//   36     extFlag: nonzero when a 4 + N byte extension block follows
//   37..39 not interpreted
#ifndef QNV_RECORD_SFRAMEINDEX_H
#define QNV_RECORD_SFRAMEINDEX_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/ByteOrder.h"

namespace qnv {

constexpr size_t kFrameHeaderSize = 40;
constexpr size_t kFrameMagicOffset = 4;
constexpr size_t kFramePayloadLengthOffset = 12;
constexpr size_t kFrameOffsetOffset = 28;
constexpr size_t kFrameKindOffset = 35;
constexpr size_t kFrameExtFlagOffset = 36;
constexpr size_t kFrameExtLengthSize = 4;  // the 32-bit N in front of an extension block
constexpr char kFrameMagic[4] = {'Q', 'N', 'V', 'V'};

constexpr uint8_t kFrameKindOther = 0;
constexpr uint8_t kFrameKindI = 1;
constexpr uint8_t kFrameKindP = 2;

// The header as raw bytes, with accessors for the fields the library uses.
struct SFrameIndex {
  uint8_t bytes[kFrameHeaderSize];

  bool HasMagic() const { return std::memcmp(bytes + kFrameMagicOffset, kFrameMagic, 4) == 0; }
  uint32_t PayloadLength() const { return LoadLe32(bytes + kFramePayloadLengthOffset); }
  uint32_t Offset() const { return LoadLe32(bytes + kFrameOffsetOffset); }
  void SetOffset(uint32_t v) { StoreLe32(bytes + kFrameOffsetOffset, v); }
  uint8_t FrameKind() const { return bytes[kFrameKindOffset]; }
  void SetFrameKind(uint8_t k) { bytes[kFrameKindOffset] = k; }
  bool HasExtension() const { return bytes[kFrameExtFlagOffset] != 0; }

  static SFrameIndex From(const void* p) {
    SFrameIndex h;
    std::memcpy(h.bytes, p, kFrameHeaderSize);
    return h;
  }
};
static_assert(sizeof(SFrameIndex) == 40, "frame header is 40 bytes");
static_assert(kFrameKindOffset == 35 && kFrameExtFlagOffset == 36 && kFrameOffsetOffset == 28);

}  // namespace qnv

#endif  // QNV_RECORD_SFRAMEINDEX_H
