// SFrameIndex: the 40-byte stream frame header. It is also the frame record
// of the pre-record queue and of recording index files (IndexRecord.h). The
// offsets are the public ones of QNVNetSdk.h, which hosts use to parse frames;
// the C interface's copies are checked against them here.
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
#ifndef QNV_PROTOCOL_FRAMEHEADER_H
#define QNV_PROTOCOL_FRAMEHEADER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "QNVNetSdk.h"
#include "platform/ByteOrder.h"
#include "qnvnet.h"

namespace qnv::protocol {

using PublicFrameHeader = ::QNVNetFrameHeader;

constexpr size_t kFrameHeaderSize = PublicFrameHeader::kSize;
constexpr size_t kFrameMagicOffset = PublicFrameHeader::kMagicOffset;
constexpr size_t kFramePayloadLengthOffset = PublicFrameHeader::kPayloadLengthOffset;
constexpr size_t kFrameOffsetOffset = PublicFrameHeader::kDataOffsetOffset;
constexpr size_t kFrameKindOffset = PublicFrameHeader::kKindOffset;
constexpr size_t kFrameExtFlagOffset = PublicFrameHeader::kExtFlagOffset;
constexpr size_t kFrameExtLengthSize = PublicFrameHeader::kExtLengthSize;
inline constexpr const char (&kFrameMagic)[4] = PublicFrameHeader::kMagic;

constexpr uint8_t kFrameKindOther = PublicFrameHeader::kKindOther;
constexpr uint8_t kFrameKindI = PublicFrameHeader::kKindKey;
constexpr uint8_t kFrameKindP = PublicFrameHeader::kKindP;

// The header as raw bytes, with accessors for the fields the library uses.
struct SFrameIndex {
  uint8_t bytes[kFrameHeaderSize];

  bool HasMagic() const { return std::memcmp(bytes + kFrameMagicOffset, kFrameMagic, 4) == 0; }
  uint32_t PayloadLength() const { return platform::LoadLe32(bytes + kFramePayloadLengthOffset); }
  uint32_t Offset() const { return platform::LoadLe32(bytes + kFrameOffsetOffset); }
  void SetOffset(uint32_t v) { platform::StoreLe32(bytes + kFrameOffsetOffset, v); }
  uint8_t FrameKind() const { return bytes[kFrameKindOffset]; }
  void SetFrameKind(uint8_t k) { bytes[kFrameKindOffset] = k; }
  bool HasExtension() const { return bytes[kFrameExtFlagOffset] != 0; }

  static SFrameIndex From(const void* p) {
    SFrameIndex h;
    std::memcpy(h.bytes, p, kFrameHeaderSize);
    return h;
  }
};
static_assert(sizeof(SFrameIndex) == kFrameHeaderSize, "frame header is 40 bytes");
static_assert(sizeof(SFrameIndex) == sizeof(QNVNetFrameHeader));

// The C interface spells the same layout as plain numbers.
static_assert(QNVNET_FRAME_HEADER_SIZE == PublicFrameHeader::kSize &&
              QNVNET_FRAME_COUNTER_OFFSET == PublicFrameHeader::kCounterOffset &&
              QNVNET_FRAME_MAGIC_OFFSET == PublicFrameHeader::kMagicOffset &&
              QNVNET_FRAME_PAYLOAD_LENGTH_OFFSET == PublicFrameHeader::kPayloadLengthOffset &&
              QNVNET_FRAME_CAPTURE_TIME_OFFSET == PublicFrameHeader::kCaptureTimeOffset &&
              QNVNET_FRAME_DATA_OFFSET_OFFSET == PublicFrameHeader::kDataOffsetOffset &&
              QNVNET_FRAME_KIND_OFFSET == PublicFrameHeader::kKindOffset &&
              QNVNET_FRAME_EXT_FLAG_OFFSET == PublicFrameHeader::kExtFlagOffset &&
              QNVNET_FRAME_EXT_LENGTH_SIZE == PublicFrameHeader::kExtLengthSize &&
              QNVNET_FRAME_KIND_OTHER == PublicFrameHeader::kKindOther &&
              QNVNET_FRAME_KIND_KEY == PublicFrameHeader::kKindKey &&
              QNVNET_FRAME_KIND_P == PublicFrameHeader::kKindP);

}  // namespace qnv::protocol

#endif  // QNV_PROTOCOL_FRAMEHEADER_H
